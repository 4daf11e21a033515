// What the frame path benchmark reads about the processes it measures, all
// from /proc: CPU time of a whole process and of each of its threads,
// resident memory, and the machine's load average.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>

namespace swbench {

// User + system CPU seconds of a process, threads that have ended included;
// -1 when the process is gone.
double ProcessCpuSeconds(pid_t pid);

// Resident memory in KiB; 0 when unknown.
long RssKiB(pid_t pid);

// The 1-minute load average; -1 when unknown.
double LoadAverage1();

struct ThreadTime {
  std::string name;  // the thread's comm
  uint64_t ns = 0;   // time on a CPU so far (schedstat: nanosecond resolution)
};

// The live threads of a process by thread id.
std::map<pid_t, ThreadTime> ThreadTimes(pid_t pid);

// CPU spent per thread between two snapshots, in nanoseconds, by label: the
// thread's name, and when several threads share it (the kernel keeps only 15
// bytes, and a thread inherits its creator's name) "#1", "#2", ... in order
// of creation. Threads that ended in between are missing.
std::map<std::string, uint64_t> ThreadDelta(const std::map<pid_t, ThreadTime> &before,
                                            const std::map<pid_t, ThreadTime> &after);

}  // namespace swbench
