// Sig_CoreDump: a core file of the running process without ending it. A
// forked copy of the process aborts itself; the system writes the copy's
// core while this process carries on.
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "lib/sig/panic.h"

namespace {

constexpr int kMaxPolls = 120;
constexpr int kQuietPolls = 10;

[[noreturn]] void AbortCopy(void) {
  // Raw system calls only: after a plain clone the C library's cached
  // thread data still describes the parent's thread.
  if (getuid() != geteuid()) {
    // setresuid directly: the C library wrapper would signal threads
    // that exist only in the parent.
    syscall(SYS_setresuid, -1, getuid(), -1);
  }
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  if (sigaction(SIGABRT, &action, nullptr) != 0) {
    int err = errno;
    LogHook_Warning("SIG sigaction failed on signal %d: %s\n", SIGABRT, strerror(err));
    NOT_IMPLEMENTED();
  }
  sigset_t abrt;
  sigemptyset(&abrt);
  sigaddset(&abrt, SIGABRT);
  syscall(SYS_rt_sigprocmask, SIG_UNBLOCK, &abrt, nullptr, _NSIG / 8);
  syscall(SYS_tgkill, syscall(SYS_getpid), syscall(SYS_gettid), SIGABRT);
  NOT_REACHED();
}

pid_t WaitForCopy(pid_t child) {
  for (int poll = 0; poll < kMaxPolls; poll++) {
    int status = 0;
    pid_t r = waitpid(child, &status, WNOHANG);
    if (r == child) {
      if (!WIFSIGNALED(status) || !WCOREDUMP(status)) {
        LogHook_Warning("Child process %d failed to dump core (status %#x).\n", child, status);
        return -1;
      }
      LogHook_Warning("Core dumped.\n");
      return child;
    }
    if (r < 0) {
      if (errno == EINTR) {
        continue;
      }
      int err = errno;
      LogHook_Warning("Failed to wait for child process %d: %s.\n", child, strerror(err));
      return -1;
    }
    if (r != 0) {
      LogHook_Warning("Wait for child process %d returned %d.\n", child, r);
      return -1;
    }
    if (poll >= kQuietPolls) {
      LogHook_Warning(
          "Waiting (waitpid returned %d, status: %#x) for child process %d to dump core...\n",
          r, status, child);
    }
    sleep(1);
  }
  LogHook_Warning("Timed out waiting for child process %d.\n", child);
  return -1;
}

}  // namespace

pid_t Sig_CoreDump(void) {
  struct rlimit limit {};
  if (getrlimit(RLIMIT_CORE, &limit) == 0) {
    if (limit.rlim_cur == 0) {
      LogHook_Warning("\nThe core dump limit is set to ZERO; no core dump should be expected\n");
      return -1;
    }
    if (limit.rlim_cur == RLIM_INFINITY) {
      LogHook_Warning("\nAttempting a core dump using %s size limit\n", "an unlimited");
    } else {
      char size[64];
      snprintf(size, sizeof size, "a %lu KB", static_cast<unsigned long>(limit.rlim_cur / 1024));
      LogHook_Warning("\nAttempting a core dump using %s size limit\n", size);
    }
  } else {
    int err = errno;
    LogHook_Warning("\nAttempting a core dump using an unknown size limit: %s\n", strerror(err));
  }

  // A profiling tick in the copy would interrupt its abort.
  sigset_t prof;
  sigset_t saved;
  sigemptyset(&prof);
  sigaddset(&prof, SIGPROF);
  int err = pthread_sigmask(SIG_BLOCK, &prof, &saved);
  if (err != 0) {
    LogHook_Warning("SIG pthread_sigmask failed: %s\n", strerror(err));
    NOT_IMPLEMENTED();
  }
  // A plain fork through clone: no fork handlers run, so nothing in this
  // process (locks held by other threads included) is touched.
  long child = syscall(SYS_clone, SIGCHLD, 0, nullptr, nullptr, 0);
  int forkErr = errno;
  if (child == 0) {
    AbortCopy();
  }
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  if (child < 0) {
    LogHook_Warning("Fork failed: %s\n", strerror(forkErr));
    return -1;
  }
  return WaitForCopy(static_cast<pid_t>(child));
}
