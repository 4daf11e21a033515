#include "bench/frame_path_probe.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

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
