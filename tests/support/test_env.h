// Private session services for integration tests: a session dbus-daemon,
// PipeWire and WirePlumber with a null default sink, started through
// scripts/testenv in a fresh folder and stopped (only what was started) when
// the object goes away.
#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <memory>
#include <vector>
#include <string>

namespace swtest {

// Path of a file in the source tree or of a built program.
std::string SourcePath(const std::string &relative);
std::string BinaryPath(const std::string &relative);
// The agent, the reference parent and the fake compositor as built.
std::string AgentBinary();
std::string ParentBinary();
std::string FakeCompositorBinary();

std::string ReadFile(const std::string &path);
bool WriteFile(const std::string &path, const std::string &contents);
// Polls cond every 10 ms until it holds or timeoutMs passed.
bool WaitFor(const std::function<bool()> &cond, int timeoutMs);
// A fresh private folder under /tmp (removed by the caller or left for
// inspection when a test fails).
std::string MakeTempDir(const std::string &prefix);
// A card name (at most 6 characters) unique to this process and call.
std::string UniqueCardName();

class TestServices {
 public:
  TestServices();
  ~TestServices();
  TestServices(const TestServices &) = delete;
  TestServices &operator=(const TestServices &) = delete;

  bool ok() const { return ok_; }
  const std::string &error() const { return error_; }
  const std::string &dir() const { return dir_; }
  // XDG_RUNTIME_DIR, XDG_CONFIG_HOME, XDG_STATE_HOME, DBUS_SESSION_BUS_ADDRESS.
  const std::map<std::string, std::string> &env() const { return env_; }
  std::string Get(const std::string &key) const;
  // Sets the services' variables in this process (for in-process clients).
  void ApplyToProcess() const;
  // The pid of a started service ("dbus-daemon", "pipewire", "wireplumber"),
  // or -1 once it was killed.
  pid_t Pid(const std::string &comm) const;
  // Ends one service abruptly (SIGKILL) to simulate a logout or a crash.
  bool Kill(const std::string &comm);
  // Kills PipeWire and WirePlumber abruptly and starts them again (an
  // update or a crash of the daemon); true once the default sink is back.
  bool RestartPipeWire();

 private:
  bool ok_ = false;
  std::string error_;
  std::string dir_;
  std::map<std::string, std::string> env_;
  std::map<std::string, pid_t> pids_;
  void ReadPids();
};

// Starts the fake compositor with the services' environment and extra
// arguments, and waits (10 s at most) until it says it is ready; null when it
// did not start.
class Process;
std::unique_ptr<Process> StartFakeCompositor(const TestServices &services,
                                             const std::vector<std::string> &args);

}  // namespace swtest
