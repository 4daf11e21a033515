// The agent as a child of the reference parent: started with the card name
// (and the greeter workflow when asked), waited for with a time-out.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <map>
#include <string>

namespace swparent {

struct AgentProcess {
  pid_t pid = -1;
  int status = -1;  // exit status, or 128 + signal
  rusage usage{};
  bool exited = false;
};

// Starts PATH with QUILLWORKER_CARD=card and the extra variables; 0, or -1
// with errno when fork failed. A program that cannot be run exits 127.
int StartAgent(const std::string &path, const std::string &card, bool greeter,
               const std::map<std::string, std::string> &env, AgentProcess *agent);
// True once the agent has exited (status and usage filled in); false when it
// is still running after timeoutMs.
bool WaitAgent(AgentProcess *agent, int timeoutMs);
// Waits for the agent; kills it when it outlives timeoutMs. True when it
// exited by itself.
bool WaitOrKillAgent(AgentProcess *agent, int timeoutMs);

}  // namespace swparent
