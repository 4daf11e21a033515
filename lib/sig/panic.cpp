// Panic: report an unrecoverable condition, optionally dump core, and end
// the process without running exit handlers.
#include "lib/sig/panic.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib/sig/panic_state.h"

namespace sw::sig {

void WriteStderr(const char *text) {
  size_t left = strlen(text);
  while (left > 0) {
    ssize_t n = write(STDERR_FILENO, text, left);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return;
    }
    text += n;
    left -= static_cast<size_t>(n);
  }
}

}  // namespace sw::sig

using namespace sw::sig;

void Panic_SetCoreDumpOnPanic(bool on) { coreDumpOnPanic.store(on); }
void Panic_SetLoopOnPanic(bool on) { loopOnPanic.store(on); }
unsigned Panic_Count(void) { return panicCount.load(); }

void Panic(const char *fmt, ...) {
  char message[1024];
  va_list args;
  va_start(args, fmt);
  vsnprintf(message, sizeof message, fmt, args);
  va_end(args);
  WriteStderr(message);

  uint32_t previous = panicCount.fetch_add(1);
  if (previous != 0) {
    // A panic while panicking (possibly on another thread): the first one
    // owns the orderly path; this one leaves at once.
    if (previous == 1) {
      LogHook_Level(kLogPanic, "PANIC: %s", message);
      LogHook_Level(kLogPanic, "Panic loop\n");
    }
    WriteStderr("Panic loop\n");
    _exit(1);
  }

  LogHook_DisableThrottling();
  LogHook_Level(kLogPanic, "PANIC: %s", message);
  Backtrace(0);

  if (coreDumpOnPanic.load()) {
    pid_t child = Sig_CoreDump();
    // Only a copy that really dumped core can have left a file; asking for
    // the name of a failed dump could match an unrelated old core.
    char *coreFile = child > 0 ? SigGetCoreFileName(child) : nullptr;
    if (coreFile != nullptr) {
      LogHook_Warning("A core file is available in \"%s\"\n", coreFile);
      free(coreFile);
    } else {
      LogHook_Info("%s: SigGetCoreFileName failure", "Sig_CoreDump");
    }
  }

  if (loopOnPanic.load()) {
    char line[64];
    snprintf(line, sizeof line, "Looping pid=%d\n", static_cast<int>(getpid()));
    WriteStderr(line);
    // Stays here so a debugger can be attached; only an outside change of
    // the flag (or a kill) ends it.
    while (loopOnPanic.load()) {
      sleep(1);
    }
  }

  LogHook_Info("Exiting\n");
  _exit(255);
}
