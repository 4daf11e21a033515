// Runs a piece of a test in a forked child with a bound on how long it may
// take: a fault that spins for ever (with the log lock held, say) then shows
// up as a failed test instead of a suite that never ends. The bound is a
// hang detector, far above what the work needs.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

// The child's exit status, or -1 when it had to be killed or died by a
// signal.
inline int RunInChild(const std::function<int()> &body, int timeoutMs = 30000) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) {
    return -1;
  }
  if (pid == 0) {
    _exit(body());
  }
  struct timespec tick = {0, 10 * 1000 * 1000};
  for (int waited = 0; waited < timeoutMs; waited += 10) {
    int status;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    nanosleep(&tick, nullptr);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}
