// Log_PurgeOldFiles: deletes the surplus log files of earlier processes,
// oldest first, never one whose process is still alive.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "lib/log/log_file_internal.h"
#include "lib/log/log_state.h"

namespace {

struct PrefixMatcher {
  char prefix[96];
};

// "<prefix>-<pid>...": the default shape of generated names.
bool MatchGenerated(const char *entry, void *argument, unsigned *pid) {
  const char *prefix = static_cast<PrefixMatcher *>(argument)->prefix;
  size_t n = strlen(prefix);
  if (strlen(entry) <= n || strncmp(entry, prefix, n) != 0 || entry[n] != '-' ||
      entry[n + 1] < '0' || entry[n + 1] > '9') {
    return false;
  }
  return sscanf(entry + n + 1, "%u", pid) == 1;
}

bool ProcessGone(unsigned pid) {
  return kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

struct Candidate {
  std::string path;
  struct timespec mtime;
};

}  // namespace

bool Log_PurgeOldFiles(LogOutput *output, LogFileMatcher matcher, void *matcherArgument) {
  LogErrnoKeeper keepErrno;
  if (output == nullptr || output->type != kLogOutputTypeFile) {
    return false;
  }
  LogFileOutput *out = AsFileOutput(output);
  if (!out->nameGenerated || out->keepOld <= 0 || out->fileName == nullptr) {
    return false;
  }
  std::string name(out->fileName);
  size_t slash = name.rfind('/');
  std::string dir = slash == std::string::npos ? "." : name.substr(0, slash == 0 ? 1 : slash);

  PrefixMatcher defaultArgument;
  if (matcher == nullptr) {
    bool hasSuffix = out->suffix != nullptr && out->suffix[0] != '\0';
    snprintf(defaultArgument.prefix, sizeof defaultArgument.prefix, "%s%s%s", "paloven",
             hasSuffix ? "-" : "", hasSuffix ? out->suffix : "");
    matcher = MatchGenerated;
    matcherArgument = &defaultArgument;
  }

  DIR *d = opendir(dir.c_str());
  if (d == nullptr) {
    return false;
  }
  std::vector<Candidate> candidates;
  while (struct dirent *e = readdir(d)) {
    unsigned pid = 0;
    if (!matcher(e->d_name, matcherArgument, &pid) || pid == 0 ||
        static_cast<pid_t>(pid) == getpid() || !ProcessGone(pid)) {
      continue;
    }
    std::string path = dir + (dir == "/" ? "" : "/") + e->d_name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
      continue;
    }
    candidates.push_back({path, st.st_mtim});
  }
  closedir(d);

  size_t keep = static_cast<size_t>(out->keepOld);
  if (candidates.size() <= keep) {
    return false;
  }
  std::sort(candidates.begin(), candidates.end(), [](const Candidate &a, const Candidate &b) {
    if (a.mtime.tv_sec != b.mtime.tv_sec) {
      return a.mtime.tv_sec < b.mtime.tv_sec;
    }
    return a.mtime.tv_nsec < b.mtime.tv_nsec;
  });
  bool deleted = false;
  for (size_t i = 0; i < candidates.size() - keep; i++) {
    if (unlink(candidates[i].path.c_str()) == 0) {
      deleted = true;
    }
  }
  return deleted;
}
