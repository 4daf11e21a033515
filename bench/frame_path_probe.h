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

// The process's own private memory in KiB (Private_Clean + Private_Dirty
// of its mappings): what it costs the host on its own, without the pages
// it shares with other processes (libraries' code). Shared-memory files
// (memfd) are left out: they hold the compositor's frame buffers and
// PipeWire's pools, and their pages count as private to the agent whenever
// the other side has not mapped them itself (a static screen leaves some
// 25 MiB of the compositor's 1280x720 buffers counted so). 0 when unknown.
long PrivateKiB(pid_t pid);

// Private KiB by kind of mapping, from /proc/PID/smaps: "heap" (the main
// malloc arena), "anon" (other anonymous mappings: thread arenas, large
// allocations, thread stacks), "stack", "libraries", "memfd" and "other",
// so a total above the expected buffers can be attributed.
std::map<std::string, long> PrivateKiBByKind(pid_t pid);

// The pixel and cursor buffers the agent's design holds while it captures a
// width x height stream, in KiB: four frame queue slots and the consumer's
// own record (one frame each), the destripe scratch buffer (a frame, touched
// only when the stream's rows are padded), and four cursor slots plus the
// consumer's record of the largest cursor bitmap each.
long DesignBufferKiB(uint32_t width, uint32_t height, bool paddedRows);

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
