// A child process for integration tests: started with extra environment,
// its standard output and error captured to files, waited for with a
// time-out and killed if still running when the object goes away.
#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace swtest {

class Process {
 public:
  struct Options {
    std::map<std::string, std::string> env;  // set on top of this process's
    std::vector<std::string> unsetEnv;
    std::string stdoutPath;  // empty: a file in /tmp chosen here
    std::string stderrPath;
  };

  static std::unique_ptr<Process> Spawn(const std::vector<std::string> &argv,
                                        const Options &options);
  ~Process();

  pid_t pid() const { return pid_; }
  // Exit status (0..255), or 128 + signal number when killed by a signal;
  // nullopt when still running after timeoutMs.
  std::optional<int> Wait(int timeoutMs);
  bool Running();
  void Signal(int sig);
  std::string Stdout() const;
  std::string Stderr() const;
  const std::string &stdoutPath() const { return stdoutPath_; }
  const std::string &stderrPath() const { return stderrPath_; }

 private:
  Process() = default;
  pid_t pid_ = -1;
  std::optional<int> status_;
  std::string stdoutPath_;
  std::string stderrPath_;
};

}  // namespace swtest
