#include "bench/frame_path_probe.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "capture/frame_queue.h"

namespace swbench {

namespace {

bool ReadText(const std::string &path, std::string *out) {
  std::ifstream in(path);
  if (!in) {
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  *out = text.str();
  return true;
}

// The command name sits in parentheses and may itself hold spaces or
// parentheses, so the fields are counted from the last ')'.
bool StatFields(const std::string &stat, std::string *comm, unsigned long *utime,
                unsigned long *stime) {
  const size_t open = stat.find('(');
  const size_t close = stat.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close < open) {
    return false;
  }
  if (comm != nullptr) {
    *comm = stat.substr(open + 1, close - open - 1);
  }
  // Each space after ')' starts the next field: state is field 3, utime
  // and stime are fields 14 and 15.
  const char *p = stat.c_str() + close + 1;
  for (int field = 2; field < 14 && *p != '\0'; p++) {
    if (*p == ' ') {
      field++;
    }
  }
  return sscanf(p, "%lu %lu", utime, stime) == 2;
}

}  // namespace

double ProcessCpuSeconds(pid_t pid) {
  std::string stat;
  unsigned long utime = 0;
  unsigned long stime = 0;
  if (!ReadText("/proc/" + std::to_string(pid) + "/stat", &stat) ||
      !StatFields(stat, nullptr, &utime, &stime)) {
    return -1;
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long RssKiB(pid_t pid) {
  std::string status;
  if (!ReadText("/proc/" + std::to_string(pid) + "/status", &status)) {
    return 0;
  }
  const size_t at = status.find("VmRSS:");
  return at == std::string::npos ? 0 : atol(status.c_str() + at + 6);
}

long PrivateKiB(pid_t pid) {
  long kib = 0;
  for (const auto &[kind, k] : PrivateKiBByKind(pid)) {
    if (kind != "memfd") {
      kib += k;
    }
  }
  return kib;
}

std::map<std::string, long> PrivateKiBByKind(pid_t pid) {
  std::map<std::string, long> kinds;
  std::ifstream in("/proc/" + std::to_string(pid) + "/smaps");
  std::string line;
  std::string kind = "other";
  while (std::getline(in, line)) {
    // A mapping's header line starts with its address range "lo-hi"; its
    // path, if any, is the sixth field.
    unsigned long lo = 0;
    unsigned long hi = 0;
    char perms[8] = {};
    unsigned long offset = 0;
    char dev[16] = {};
    unsigned long inode = 0;
    int pathAt = 0;
    if (sscanf(line.c_str(), "%lx-%lx %7s %lx %15s %lu %n", &lo, &hi, perms, &offset, dev,
               &inode, &pathAt) >= 6) {
      const std::string path = pathAt > 0 ? line.substr(static_cast<size_t>(pathAt)) : "";
      if (path.empty()) {
        kind = "anon";
      } else if (path == "[heap]") {
        kind = "heap";
      } else if (path == "[stack]") {
        kind = "stack";
      } else if (path.find("memfd:") == 0 || path.find("/memfd:") != std::string::npos) {
        kind = "memfd";
      } else if (path.find(".so") != std::string::npos) {
        kind = "libraries";
      } else {
        kind = "other";
      }
      continue;
    }
    for (const char *field : {"Private_Clean:", "Private_Dirty:"}) {
      if (line.compare(0, strlen(field), field) == 0) {
        kinds[kind] += atol(line.c_str() + strlen(field));
      }
    }
  }
  return kinds;
}

long DesignBufferKiB(uint32_t width, uint32_t height, bool paddedRows) {
  const uint64_t frame = uint64_t{width} * height * 4;
  const uint64_t frames = frame * (paddedRows ? 6 : 5);
  return static_cast<long>((frames + 5 * uint64_t{MAX_CURSOR_BITMAP_SIZE}) / 1024);
}

double LoadAverage1() {
  std::string text;
  if (!ReadText("/proc/loadavg", &text)) {
    return -1;
  }
  return atof(text.c_str());
}

std::map<pid_t, ThreadTime> ThreadTimes(pid_t pid) {
  std::map<pid_t, ThreadTime> threads;
  const std::string taskDir = "/proc/" + std::to_string(pid) + "/task";
  DIR *dir = opendir(taskDir.c_str());
  if (dir == nullptr) {
    return threads;
  }
  while (dirent *entry = readdir(dir)) {
    const pid_t tid = static_cast<pid_t>(atoi(entry->d_name));
    if (tid <= 0) {
      continue;
    }
    const std::string base = taskDir + "/" + entry->d_name;
    std::string stat;
    std::string sched;
    ThreadTime t;
    unsigned long utime = 0;
    unsigned long stime = 0;
    if (!ReadText(base + "/stat", &stat) || !StatFields(stat, &t.name, &utime, &stime)) {
      continue;
    }
    if (ReadText(base + "/schedstat", &sched)) {
      t.ns = strtoull(sched.c_str(), nullptr, 10);
    } else {
      t.ns = (utime + stime) * (1000000000ull / static_cast<uint64_t>(sysconf(_SC_CLK_TCK)));
    }
    threads[tid] = t;
  }
  closedir(dir);
  return threads;
}

std::map<std::string, uint64_t> ThreadDelta(const std::map<pid_t, ThreadTime> &before,
                                            const std::map<pid_t, ThreadTime> &after) {
  std::map<std::string, int> sharing;
  for (const auto &entry : after) {
    sharing[entry.second.name]++;
  }
  std::map<std::string, int> seen;
  std::map<std::string, uint64_t> spent;
  // Thread ids grow with creation, and the map is ordered by them.
  for (const auto &[tid, now] : after) {
    std::string label = now.name;
    if (sharing[now.name] > 1) {
      label += "#" + std::to_string(++seen[now.name]);
    }
    auto then = before.find(tid);
    const uint64_t start = then != before.end() ? then->second.ns : 0;
    spent[label] = now.ns > start ? now.ns - start : 0;
  }
  return spent;
}

}  // namespace swbench
