// SigGetCoreFileName: where the system put the core of a given process,
// worked out from the kernel's core_pattern and core_uses_pid settings.
#include <fcntl.h>
#include <glob.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include <mutex>
#include <csignal>
#include "lib/sig/panic.h"

namespace {

constexpr size_t kUsesPidBytes = 32;
// The kernel keeps at most 128 bytes of core_pattern; reading all of it
// avoids naming a file after a cut pattern.
constexpr size_t kPatternBytes = 128;
constexpr size_t kMaxName = 4196;

std::mutex rootMutex;
std::string systemRoot;  // "" = the real root

std::string SystemPath(const char *path) {
  std::lock_guard<std::mutex> hold(rootMutex);
  return systemRoot + path;
}

// Reads at most max bytes of a small system file; false when unreadable.
bool ReadSmallFile(const char *path, size_t max, std::string *out) {
  std::string full = SystemPath(path);
  int fd = open(full.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  std::string data(max, '\0');
  size_t got = 0;
  while (got < max) {
    ssize_t n = read(fd, data.data() + got, max - got);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    got += static_cast<size_t>(n);
  }
  close(fd);
  data.resize(got);
  *out = std::move(data);
  return true;
}

void TrimLineEnd(std::string *text) {
  while (!text->empty() && (text->back() == '\n' || text->back() == '\r')) {
    text->pop_back();
  }
}

bool CoreUsesPid(void) {
  std::string text;
  if (!ReadSmallFile("/proc/sys/kernel/core_uses_pid", kUsesPidBytes, &text)) {
    return false;
  }
  TrimLineEnd(&text);
  if (text.empty()) {
    return false;
  }
  for (char c : text) {
    if (c < '0' || c > '9') {
      return false;
    }
  }
  return strtoul(text.c_str(), nullptr, 10) != 0;
}

}  // namespace

void Sig_SetSystemRoot(const char *root) {
  std::lock_guard<std::mutex> hold(rootMutex);
  systemRoot = root != nullptr ? root : "";
}

char *SigGetCoreFileName(pid_t pid) {
  bool usesPid = CoreUsesPid();

  std::string pattern;
  if (!ReadSmallFile("/proc/sys/kernel/core_pattern", kPatternBytes, &pattern)) {
    pattern = "core";
  }
  TrimLineEnd(&pattern);
  if (!pattern.empty() && pattern[0] == '|') {
    LogHook_Info("Core dump pipes to process %s, core file unreliable\n", pattern.c_str() + 1);
    pattern = "core";
  }

  std::string name;
  if (pattern.empty() || pattern[0] != '/') {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr) {
      cwd[0] = '\0';
    }
    name = cwd;
    if (!pattern.empty()) {
      name += '/';
    }
  }

  bool sawPid = false;
  bool wildcard = false;
  for (size_t i = 0; i < pattern.size(); i++) {
    char c = pattern[i];
    if (c != '%') {
      name += c;
      continue;
    }
    if (++i >= pattern.size()) {
      break;  // a lone trailing '%' is dropped like any unknown specifier
    }
    switch (pattern[i]) {
      case '%':
        name += '%';
        break;
      case 'p':
        name += std::to_string(pid);
        sawPid = true;
        break;
      case 'u':
        name += std::to_string(getuid());
        break;
      case 'g':
        name += std::to_string(getgid());
        break;
      case 's':
        name += std::to_string(SIGABRT);
        break;
      case 'h': {
        char host[256];
        if (gethostname(host, sizeof host) == 0) {
          host[sizeof host - 1] = '\0';
          name += host;
        } else {
          name += '*';
          wildcard = true;
        }
        break;
      }
      case 'e':
      case 't':
        name += '*';
        wildcard = true;
        break;
      default:
        break;
    }
  }
  if (name.size() > kMaxName) {
    name.resize(kMaxName);
  }
  if (usesPid && !sawPid) {
    name += '.';
    name += std::to_string(pid);
  }

  if (wildcard) {
    glob_t matches{};
    int rc = glob(name.c_str(), 0, nullptr, &matches);
    if (rc == 0 && matches.gl_pathc == 1) {
      name = matches.gl_pathv[0];
    } else if (rc == 0 && matches.gl_pathc > 1) {
      globfree(&matches);
      return nullptr;  // ambiguous: naming one of them could be wrong
    }
    globfree(&matches);
  }
  char *result = strdup(name.c_str());
  if (result == nullptr) {
    Panic_MemAllocSize(name.size() + 1);
  }
  return result;
}
