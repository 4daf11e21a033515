// The private temporary directory: a directory only the effective user can
// write, so files created in it (the log file, for one) cannot be replaced
// or pre-created by another user.
#include "lib/file/file.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lib/config/config.h"

namespace {

constexpr int kAlternatives = 16;

std::string EffectiveUserName() {
  struct passwd pw;
  struct passwd *result = nullptr;
  std::vector<char> buf(4096);
  if (getpwuid_r(geteuid(), &pw, buf.data(), buf.size(), &result) == 0 && result != nullptr &&
      pw.pw_name != nullptr && *pw.pw_name != '\0') {
    return pw.pw_name;
  }
  return "uid" + std::to_string(static_cast<unsigned long>(geteuid()));
}

// True when path is an acceptable private directory (creating it if absent).
bool AcceptOrCreate(const std::string &path) {
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    return false;
  }
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) {
    return false;
  }
  if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    errno = EACCES;
    return false;
  }
  return true;
}

}  // namespace

char *File_GetSafeTmpDirIn(const char *baseDir) {
  if (baseDir == nullptr || *baseDir == '\0') {
    errno = EINVAL;
    return nullptr;
  }
  std::string base(baseDir);
  while (base.size() > 1 && base.back() == '/') {
    base.pop_back();
  }
  std::string stem = base + "/velmora-" + EffectiveUserName();
  int lastErrno = 0;
  for (int i = 0; i <= kAlternatives; i++) {
    std::string candidate = i == 0 ? stem : stem + "-" + std::to_string(i);
    if (AcceptOrCreate(candidate)) {
      char *result = strdup(candidate.c_str());
      if (result == nullptr) {
        errno = ENOMEM;
      }
      return result;
    }
    lastErrno = errno;
  }
  errno = lastErrno;
  return nullptr;
}

char *File_GetSafeTmpDir(bool usePreference) {
  char *configured = usePreference ? Config_GetString(nullptr, "tmpDirectory") : nullptr;
  const char *base = configured;
  if (base == nullptr || *base == '\0') {
    base = getenv("TMPDIR");
  }
  if (base == nullptr || *base == '\0') {
    base = "/tmp";
  }
  char *result = File_GetSafeTmpDirIn(base);
  int savedErrno = errno;
  free(configured);
  errno = savedErrno;
  return result;
}
