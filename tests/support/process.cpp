#include "tests/support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "tests/support/test_env.h"

namespace swtest {

std::unique_ptr<Process> Process::Spawn(const std::vector<std::string> &argv,
                                        const Options &options) {
  std::unique_ptr<Process> proc(new Process());
  static int serial = 0;
  std::string base = "/tmp/sightwell-proc-" + std::to_string(getpid()) + "-" +
                     std::to_string(serial++);
  proc->stdoutPath_ = options.stdoutPath.empty() ? base + ".out" : options.stdoutPath;
  proc->stderrPath_ = options.stderrPath.empty() ? base + ".err" : options.stderrPath;

  std::vector<char *> args;
  for (const auto &a : argv) {
    args.push_back(const_cast<char *>(a.c_str()));
  }
  args.push_back(nullptr);

  pid_t pid = fork();
  if (pid < 0) {
    return nullptr;
  }
  if (pid == 0) {
    for (const auto &name : options.unsetEnv) {
      unsetenv(name.c_str());
    }
    for (const auto &[key, value] : options.env) {
      setenv(key.c_str(), value.c_str(), 1);
    }
    int out = open(proc->stdoutPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int err = open(proc->stderrPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (out < 0 || err < 0 || in < 0) {
      _exit(127);
    }
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    // Tests may block signals on their threads; the child starts clean.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    execv(args[0], args.data());
    _exit(127);
  }
  proc->pid_ = pid;
  return proc;
}

Process::~Process() {
  if (pid_ > 0 && !status_) {
    kill(pid_, SIGKILL);
    Wait(5000);
  }
}

std::optional<int> Process::Wait(int timeoutMs) {
  if (status_) {
    return status_;
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int status = 0;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return status_;
    }
    if (r < 0) {
      return std::nullopt;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return std::nullopt;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

bool Process::Running() { return !Wait(0).has_value(); }

void Process::Signal(int sig) {
  if (pid_ > 0 && !status_) {
    kill(pid_, sig);
  }
}

std::string Process::Stdout() const { return ReadFile(stdoutPath_); }
std::string Process::Stderr() const { return ReadFile(stderrPath_); }

}  // namespace swtest
