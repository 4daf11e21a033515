// The log hook of the modules below the log facility, and its default:
// standard error, for programs that do not link the facility.
#include "lib/sig/log_hook.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "lib/sig/panic_state.h"

namespace {

// The message with the newline the facility would add.
void StderrLevelV(uint32_t, const char *fmt, va_list args) {
  char text[1024];
  int n = vsnprintf(text, sizeof text - 1, fmt, args);
  if (n < 0) {
    return;
  }
  size_t length = strlen(text);
  if (length == 0 || text[length - 1] != '\n') {
    text[length++] = '\n';
    text[length] = '\0';
  }
  sw::sig::WriteStderr(text);
}

void NoThrottling(void) {}

constexpr LogHook kStderrHook = {StderrLevelV, NoThrottling};

// Read on every message from any thread; written once before main.
constinit std::atomic<const LogHook *> installed{&kStderrHook};

}  // namespace

void LogHook_Install(const LogHook *hook) {
  installed.store(hook != nullptr ? hook : &kStderrHook, std::memory_order_release);
}

void LogHook_LevelV(uint32_t level, const char *fmt, va_list args) {
  int savedErrno = errno;
  installed.load(std::memory_order_acquire)->levelV(level, fmt, args);
  errno = savedErrno;
}

void LogHook_Level(uint32_t level, const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  LogHook_LevelV(level, fmt, args);
  va_end(args);
}

void LogHook_Info(const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  LogHook_LevelV(kLogInfo, fmt, args);
  va_end(args);
}

void LogHook_Warning(const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  LogHook_LevelV(kLogWarning, fmt, args);
  va_end(args);
}

void LogHook_DisableThrottling(void) {
  installed.load(std::memory_order_acquire)->disableThrottling();
}
