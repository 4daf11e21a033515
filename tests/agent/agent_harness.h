// Runs the real agent binary against the reference parent on the real
// socket path, with a private log file, and reads what it logged.
#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/test_env.h"
#include "tools/sightwell-parent/parent.h"

namespace swagent {

class AgentRun {
 public:
  // card: the card name (a unique one when empty). The parent listens
  // unless listen is false.
  explicit AgentRun(std::string card = "", bool listen = true);
  ~AgentRun();

  // Starts the agent with extra environment on top of a clean one (no
  // session bus or runtime dir of the test runner leaks into it).
  bool Start(const std::map<std::string, std::string> &env = {});
  // Makes Start run the agent under this unprivileged account.
  void RunAs(uid_t uid, gid_t gid);
  // Makes Start run the agent with these supplementary groups
  // (comma-separated numbers) instead of none.
  void WithGroups(const std::string &groups) { groups_ = groups; }
  const std::string &home() const { return home_; }
  // Lets the agent choose its log file in its default folder (the private
  // temporary folder under this run's home) with these preferences instead
  // of a fixed name. The path is known once the agent started.
  void UseDefaultLogFolder(const std::string &preferences);

  swparent::Parent &parent() { return *parent_; }
  swtest::Process &process() { return *process_; }
  const std::string &card() const { return card_; }
  const std::string &logPath() const { return logPath_; }

  // The greeting's type once the control connection can also be written
  // to (0 on time-out).
  uint32_t WaitGreeting(int timeoutMs);

  // Adds a line ("key = \"value\"") to the agent's user preferences; before Start.
  void AddPreference(const std::string &key, const std::string &value);

  std::string Log() const;
  // Waits until the log holds text (timeoutMs); true when it does.
  bool WaitLog(const std::string &text, int timeoutMs);
  size_t CountLog(const std::string &text) const;
  std::optional<int> Wait(int timeoutMs);

 private:
  std::string card_;
  std::string home_;
  std::string logPath_;
  std::optional<std::pair<uid_t, gid_t>> runAs_;
  std::string groups_;
  bool defaultLogFolder_ = false;
  std::unique_ptr<swparent::Parent> parent_;
  std::unique_ptr<swtest::Process> process_;
};

// A local account created for a test and removed afterwards. Creation is
// serialised between test processes (the account database is shared).
class TestUser {
 public:
  // supplementaryGroups: group names for useradd -G (none when empty).
  explicit TestUser(const std::string &name, const std::string &supplementaryGroups = "");
  ~TestUser();
  bool ok() const { return ok_; }
  uid_t uid() const { return uid_; }
  gid_t gid() const { return gid_; }

 private:
  std::string name_;
  int lockFd_ = -1;
  bool created_ = false;
  bool ok_ = false;
  uid_t uid_ = 0;
  gid_t gid_ = 0;
};

// Real user ids of the process's threads, by kernel thread name.
std::multimap<std::string, uid_t> ThreadUids(pid_t pid);

// What /proc shows of one thread's identity: the values after "Uid:",
// "Gid:", "Groups:", "CapPrm:" and "CapEff:" with runs of white space made
// single spaces.
struct ThreadIdentity {
  std::string name;
  std::string uids, gids, groups, capPrm, capEff;
};
std::vector<ThreadIdentity> ThreadIdentities(pid_t pid);

}  // namespace swagent
