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

// True when path is a directory of the effective user that nobody else can
// write (lstat: a symbolic link is refused, not followed).
bool IsPrivateDirectory(const std::string &path) {
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

// True when path is an acceptable private directory (creating it if absent).
bool AcceptOrCreate(const std::string &path) {
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    return false;
  }
  return IsPrivateDirectory(path);
}

// A new private directory under a name nobody can guess in advance, for
// when other users have taken every predictable name: squatting those must
// not keep the program from starting.
char *CreateUnpredictable(const std::string &stem) {
  std::string candidate = stem + "-XXXXXX";
  if (mkdtemp(candidate.data()) == nullptr || !IsPrivateDirectory(candidate)) {
    return nullptr;
  }
  char *result = strdup(candidate.c_str());
  if (result == nullptr) {
    errno = ENOMEM;
  }
  return result;
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
  for (int i = 0; i <= kAlternatives; i++) {
    std::string candidate = i == 0 ? stem : stem + "-" + std::to_string(i);
    if (AcceptOrCreate(candidate)) {
      char *result = strdup(candidate.c_str());
      if (result == nullptr) {
        errno = ENOMEM;
      }
      return result;
    }
  }
  return CreateUnpredictable(stem);
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
