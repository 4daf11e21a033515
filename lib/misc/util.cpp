// Util_ExpandString: tilde and environment-variable expansion of file names.
#include "lib/misc/util.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "lib/sig/log_hook.h"

namespace {

// Looks up a passwd entry with the reentrant interface; the result's
// strings live in buf.
bool LookupUser(const char *name, uid_t uid, struct passwd *pw, std::vector<char> &buf) {
  long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
  buf.resize(hint > 0 ? static_cast<size_t>(hint) : 4096);
  for (;;) {
    struct passwd *result = nullptr;
    int rc = name != nullptr ? getpwnam_r(name, pw, buf.data(), buf.size(), &result)
                             : getpwuid_r(uid, pw, buf.data(), buf.size(), &result);
    if (rc == ERANGE && buf.size() < (1u << 20)) {
      buf.resize(buf.size() * 2);
      continue;
    }
    return rc == 0 && result != nullptr;
  }
}

// Home directory of the current user: $HOME when set, else the passwd entry.
bool CurrentHome(std::string &out) {
  const char *home = getenv("HOME");
  if (home != nullptr && *home != '\0') {
    out = home;
    return true;
  }
  struct passwd pw;
  std::vector<char> buf;
  if (!LookupUser(nullptr, geteuid(), &pw, buf) || pw.pw_dir == nullptr) {
    return false;
  }
  out = pw.pw_dir;
  return true;
}

bool IsNameStart(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }

bool IsNameChar(char c) { return IsNameStart(c) || (c >= '0' && c <= '9'); }

// Replaces a leading "~" or "~user"; leaves the text alone when the user
// cannot be found, so the caller sees the name it wrote.
std::string ExpandTilde(std::string_view in, size_t &consumed) {
  consumed = 0;
  if (in.empty() || in[0] != '~') {
    return {};
  }
  size_t end = in.find('/');
  if (end == std::string_view::npos) {
    end = in.size();
  }
  std::string home;
  if (end == 1) {
    if (!CurrentHome(home)) {
      return {};
    }
  } else {
    std::string user(in.substr(1, end - 1));
    struct passwd pw;
    std::vector<char> buf;
    if (!LookupUser(user.c_str(), 0, &pw, buf) || pw.pw_dir == nullptr) {
      return {};
    }
    home = pw.pw_dir;
  }
  consumed = end;
  return home;
}

std::string UserName() {
  struct passwd pw;
  std::vector<char> buf;
  if (LookupUser(nullptr, geteuid(), &pw, buf) && pw.pw_name != nullptr) {
    return pw.pw_name;
  }
  return std::to_string(static_cast<unsigned long>(geteuid()));
}

}  // namespace

char *Util_ExpandString(const char *fileName) {
  if (fileName == nullptr) {
    return nullptr;
  }
  int savedErrno = errno;
  std::string_view in(fileName);
  std::string out;
  size_t pos = 0;
  std::string home = ExpandTilde(in, pos);
  out += home;

  while (pos < in.size()) {
    char c = in[pos];
    if (c != '$' || pos + 1 >= in.size() || !IsNameStart(in[pos + 1])) {
      out += c;
      pos++;
      continue;
    }
    size_t start = pos + 1;
    size_t end = start;
    while (end < in.size() && IsNameChar(in[end])) {
      end++;
    }
    std::string name(in.substr(start, end - start));
    const char *value = getenv(name.c_str());
    if (value != nullptr) {
      out += value;
    } else if (name == "PID") {
      out += std::to_string(static_cast<long>(getpid()));
    } else if (name == "USER") {
      out += UserName();
    } else {
      LogHook_Warning("Environment variable '%s' not defined in '%s'.\n", name.c_str(), fileName);
    }
    pos = end;
  }

  char *result = strdup(out.c_str());
  errno = savedErrno;
  return result;
}
