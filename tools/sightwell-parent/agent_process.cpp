#include "tools/sightwell-parent/agent_process.h"

#include <errno.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace swparent {

int StartAgent(const std::string &path, const std::string &card, bool greeter,
               const std::map<std::string, std::string> &env, AgentProcess *agent) {
  pid_t pid = fork();
  if (pid < 0) {
    return -1;
  }
  if (pid == 0) {
    setenv("QUILLWORKER_CARD", card.c_str(), 1);
    if (greeter) {
      setenv("REMOTE_SESSION_WORKFLOW", "greeter", 1);
    } else {
      unsetenv("REMOTE_SESSION_WORKFLOW");
    }
    for (const auto &[key, value] : env) {
      setenv(key.c_str(), value.c_str(), 1);
    }
    execl(path.c_str(), path.c_str(), static_cast<char *>(nullptr));
    fprintf(stderr, "sightwell-parent: cannot run %s: %s\n", path.c_str(), strerror(errno));
    _exit(127);
  }
  agent->pid = pid;
  return 0;
}

bool WaitAgent(AgentProcess *agent, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!agent->exited) {
    int status;
    pid_t r = wait4(agent->pid, &status, WNOHANG, &agent->usage);
    if (r == agent->pid) {
      agent->exited = true;
      agent->status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

bool WaitOrKillAgent(AgentProcess *agent, int timeoutMs) {
  if (WaitAgent(agent, timeoutMs)) {
    return true;
  }
  fprintf(stderr, "sightwell-parent: the agent did not exit; killing it\n");
  kill(agent->pid, SIGKILL);
  WaitAgent(agent, 5000);
  return false;
}

}  // namespace swparent
