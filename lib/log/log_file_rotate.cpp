// File_Rotate: makes room for a new log file by renaming the current one,
// keeping a bounded number of old files.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "lib/log/log_file_internal.h"

namespace {

constexpr const char kByRename[] = "FileRotateByRename";
constexpr const char kByRenumber[] = "FileRotateByRenumber";

// The extension is taken from the last path component only: a dot in a
// directory name ("/var/log/app.d/agent") is no extension, and splitting
// there would rename into folders that do not exist.
void SplitExtension(const std::string &name, std::string *base, std::string *ext) {
  size_t dot = name.rfind('.');
  size_t slash = name.rfind('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
    *base = name;
    ext->clear();
  } else {
    *base = name.substr(0, dot);
    *ext = name.substr(dot);
  }
}

// A failure is logged unless the caller is retrying a rotation that has
// already failed and been reported.
bool Remove(const char *tag, const std::string &name, bool report) {
  if (unlink(name.c_str()) != 0 && errno != ENOENT) {
    if (report) {
      Log_Info("FILE: %s: failed to remove %s: %s\n", tag, name.c_str(), strerror(errno));
    }
    return false;
  }
  return true;
}

// A missing source is no failure: its number is simply free.
bool Rename(const char *tag, const std::string &from, const std::string &to, bool report) {
  if (rename(from.c_str(), to.c_str()) != 0 && errno != ENOENT) {
    if (report) {
      Log_Info("FILE: %s: rename of %s -> %s failed: %s\n", tag, from.c_str(), to.c_str(),
               strerror(errno));
    }
    return false;
  }
  return true;
}

std::string Numbered(const std::string &base, long number, const std::string &ext) {
  return base + "-" + std::to_string(number) + ext;
}

// The cascade stops at the first rename that fails: each later rename
// would land on a file that could not be moved away and destroy it.
bool RotateByRename(const char *fileName, int keepOld, bool report) {
  std::string base, ext;
  SplitExtension(fileName, &base, &ext);
  Remove(kByRename, Numbered(base, keepOld - 1, ext), report);
  for (int i = keepOld - 2; i >= 0; i--) {
    if (!Rename(kByRename, Numbered(base, i, ext), Numbered(base, i + 1, ext), report)) {
      return false;
    }
  }
  return Rename(kByRename, fileName, Numbered(base, 0, ext), report);
}

// The number in "<base>-<number><ext>", which starts with 1-9 and runs up
// to the extension exactly.
bool ParseNumber(const char *entry, const std::string &base, const std::string &ext,
                 uint32_t *number) {
  size_t len = strlen(entry);
  if (len <= base.size() + 1 + ext.size() || strncmp(entry, base.c_str(), base.size()) != 0 ||
      entry[base.size()] != '-') {
    return false;
  }
  const char *digits = entry + base.size() + 1;
  if (*digits < '1' || *digits > '9') {
    return false;
  }
  size_t digitCount = len - base.size() - 1 - ext.size();
  if (strcmp(digits + digitCount, ext.c_str()) != 0 || digitCount > 10) {
    return false;
  }
  uint64_t value = 0;
  for (size_t i = 0; i < digitCount; i++) {
    if (digits[i] < '0' || digits[i] > '9') {
      return false;
    }
    value = value * 10 + static_cast<uint64_t>(digits[i] - '0');
  }
  if (value > UINT32_MAX) {
    return false;
  }
  *number = static_cast<uint32_t>(value);
  return true;
}

bool RotateByRenumber(const char *fileName, int keepOld, bool report) {
  std::string base, ext;
  SplitExtension(fileName, &base, &ext);
  std::string full = base;
  if (full.empty() || full[0] != '/') {
    char *cwd = getcwd(nullptr, 0);
    if (cwd == nullptr) {
      if (report) {
        Log_Info("FILE: %s: failed to get full path for '%s'.\n", kByRenumber, base.c_str());
      }
      return false;
    }
    full = std::string(cwd) + "/" + base;
    free(cwd);
  }
  size_t slash = full.rfind('/');
  std::string dir = full.substr(0, slash);
  std::string baseName = full.substr(slash + 1);
  if (baseName.empty()) {
    if (report) {
      Log_Info("FILE: %s: failed to get base name for path '%s'.\n", kByRenumber, full.c_str());
    }
    return false;
  }
  if (dir.empty()) {
    dir = "/";
  }
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) {
    if (report) {
      Log_Info("FILE: %s: failed to read the directory '%s'.\n", kByRenumber, dir.c_str());
    }
    return false;
  }
  std::vector<uint32_t> numbers;
  while (struct dirent *e = readdir(d)) {
    uint32_t n;
    if (ParseNumber(e->d_name, baseName, ext, &n)) {
      numbers.push_back(n);
    }
  }
  closedir(d);
  std::sort(numbers.begin(), numbers.end());

  std::string sep = dir == "/" ? "" : "/";
  auto path = [&](uint32_t n) {
    char buf[32];
    snprintf(buf, sizeof buf, "-%u", n);
    return dir + sep + baseName + buf + ext;
  };
  uint32_t next;
  if (numbers.empty()) {
    next = 1;
  } else if (numbers.back() == UINT32_MAX) {
    for (size_t i = 0; i < numbers.size(); i++) {
      uint32_t target = static_cast<uint32_t>(i + 1);
      if (numbers[i] != target) {
        if (!Rename(kByRenumber, path(numbers[i]), path(target), report)) {
          return false;  // the numbers no longer say what is on disk
        }
        numbers[i] = target;
      }
    }
    next = static_cast<uint32_t>(numbers.size() + 1);
  } else {
    next = numbers.back() + 1;
  }
  // The lowest numbers make room only for a file that really took the next
  // number: otherwise fewer than keep-old old files would be left.
  if (!Rename(kByRenumber, fileName, path(next), report)) {
    return false;
  }
  if (keepOld >= 0 && numbers.size() >= static_cast<size_t>(keepOld)) {
    size_t removeCount = numbers.size() - static_cast<size_t>(keepOld) + 1;
    for (size_t i = 0; i < removeCount && i < numbers.size(); i++) {
      Remove(kByRenumber, path(numbers[i]), report);
    }
  }
  return true;
}

}  // namespace

bool LogFileRotateFiles(const char *fileName, int keepOld, bool fast, bool report) {
  if (fileName == nullptr || fileName[0] == '\0' || keepOld <= 0) {
    return true;  // nothing old is kept: there is nothing to rename
  }
  int savedErrno = errno;
  bool moved = fast ? RotateByRenumber(fileName, keepOld, report)
                    : RotateByRename(fileName, keepOld, report);
  errno = savedErrno;
  return moved;
}

bool File_Rotate(const char *fileName, int keepOld, bool fast) {
  return LogFileRotateFiles(fileName, keepOld, fast, true);
}
