#include "tests/agent/agent_harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace swagent {

namespace {

int RunCommand(const std::string &command) {
  int rc = system(command.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

}  // namespace

AgentRun::AgentRun(std::string card, bool listen)
    : card_(card.empty() ? swtest::UniqueCardName() : std::move(card)) {
  home_ = swtest::MakeTempDir("swagent");
  logPath_ = home_ + "/sightwell.log";
  // The log file's name comes from the user preference file under $HOME.
  mkdir((home_ + "/.velmora").c_str(), 0755);
  swtest::WriteFile(home_ + "/.velmora/config", "sightwell.log.fileName = \"" + logPath_ + "\"\n");
  parent_ = std::make_unique<swparent::Parent>(card_);
  if (listen) parent_->Listen();
}

AgentRun::~AgentRun() {
  if (process_ && process_->Running()) {
    process_->Signal(SIGKILL);
    process_->Wait(5000);
  }
  parent_.reset();
  RunCommand("rm -rf '" + home_ + "'");
}

bool AgentRun::Start(const std::map<std::string, std::string> &env) {
  // Panics and fatal signals are part of the tests: no core files (the
  // limit is inherited by the agent).
  struct rlimit noCore = {0, 0};
  setrlimit(RLIMIT_CORE, &noCore);
  swtest::Process::Options options;
  options.env = {{"HOME", home_}, {"QUILLWORKER_CARD", card_}, {"LC_ALL", "C"}};
  for (const auto &kv : env) options.env[kv.first] = kv.second;
  options.unsetEnv = {"DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR", "PIPEWIRE_REMOTE"};
  if (env.count("REMOTE_SESSION_WORKFLOW") == 0) options.unsetEnv.push_back("REMOTE_SESSION_WORKFLOW");
  std::vector<std::string> argv;
  if (runAs_ || !groups_.empty()) argv.push_back("/usr/bin/setpriv");
  if (runAs_) {
    argv.insert(argv.end(), {"--reuid=" + std::to_string(runAs_->first),
                             "--regid=" + std::to_string(runAs_->second)});
  }
  if (!groups_.empty()) {
    argv.push_back("--groups=" + groups_);
  } else if (runAs_) {
    argv.push_back("--clear-groups");
  }
  argv.push_back(swtest::AgentBinary());
  if (defaultLogFolder_) options.env["TMPDIR"] = home_;
  process_ = swtest::Process::Spawn(argv, options);
  if (process_ != nullptr && defaultLogFolder_) {
    struct passwd *pw = getpwuid(runAs_ ? runAs_->first : geteuid());
    logPath_ = home_ + "/velmora-" + (pw != nullptr ? pw->pw_name : "") +
               "/paloven-sightwell-" + std::to_string(process_->pid()) + ".log";
  }
  return process_ != nullptr;
}

void AgentRun::UseDefaultLogFolder(const std::string &preferences) {
  defaultLogFolder_ = true;
  swtest::WriteFile(home_ + "/.velmora/config", preferences);
}

void AgentRun::RunAs(uid_t uid, gid_t gid) {
  runAs_ = std::make_pair(uid, gid);
  // The agent reads its preferences and writes its log under this home.
  RunCommand("chown -R " + std::to_string(uid) + ":" + std::to_string(gid) + " '" + home_ + "'");
}

uint32_t AgentRun::WaitGreeting(int timeoutMs) {
  // The parent publishes the greeting a moment before the socket it came on.
  uint32_t type = parent_->WaitForControl(timeoutMs);
  if (type == 0 || !swtest::WaitFor([&] { return parent_->HasControl(); }, timeoutMs)) return 0;
  return type;
}

std::string AgentRun::Log() const { return swtest::ReadFile(logPath_); }

void AgentRun::AddPreference(const std::string &key, const std::string &value) {
  const std::string config = home_ + "/.velmora/config";
  swtest::WriteFile(config, swtest::ReadFile(config) + key + " = \"" + value + "\"\n");
}

bool AgentRun::WaitLog(const std::string &text, int timeoutMs) {
  return swtest::WaitFor([&] { return Log().find(text) != std::string::npos; }, timeoutMs);
}

size_t AgentRun::CountLog(const std::string &text) const {
  std::string log = Log();
  size_t count = 0;
  for (size_t pos = log.find(text); pos != std::string::npos; pos = log.find(text, pos + 1)) count++;
  return count;
}

std::optional<int> AgentRun::Wait(int timeoutMs) { return process_->Wait(timeoutMs); }

TestUser::TestUser(const std::string &name, const std::string &supplementaryGroups) : name_(name) {
  // Held for the object's life: tests of other processes that need the same
  // account wait here instead of deleting it under each other.
  std::string lockPath = "/tmp/sightwell-testuser-" + name + ".lock";
  int lockFd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lockFd >= 0) flock(lockFd, LOCK_EX);
  lockFd_ = lockFd;


  struct passwd *pw = getpwnam(name.c_str());
  if (pw == nullptr) {
    std::string groups = supplementaryGroups.empty() ? "" : " -G '" + supplementaryGroups + "'";
    if (RunCommand("useradd --no-create-home --shell /usr/sbin/nologin" + groups + " '" + name + "'") != 0) {
      return;
    }
    created_ = true;
    pw = getpwnam(name.c_str());
  }
  if (pw == nullptr) return;
  uid_ = pw->pw_uid;
  gid_ = pw->pw_gid;
  ok_ = true;
}

TestUser::~TestUser() {
  if (created_) RunCommand("userdel '" + name_ + "' 2>/dev/null");
  if (lockFd_ >= 0) close(lockFd_);
}

std::vector<ThreadIdentity> ThreadIdentities(pid_t pid) {
  std::vector<ThreadIdentity> result;
  std::string taskDir = "/proc/" + std::to_string(pid) + "/task";
  DIR *dir = opendir(taskDir.c_str());
  if (dir == nullptr) return result;
  while (struct dirent *entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::string base = taskDir + "/" + entry->d_name;
    ThreadIdentity id;
    id.name = swtest::ReadFile(base + "/comm");
    while (!id.name.empty() && id.name.back() == '\n') id.name.pop_back();
    std::istringstream status(swtest::ReadFile(base + "/status"));
    std::string line;
    while (std::getline(status, line)) {
      size_t colon = line.find(':');
      if (colon == std::string::npos) continue;
      std::string key = line.substr(0, colon);
      std::istringstream words(line.substr(colon + 1));
      std::string value, word;
      while (words >> word) value += (value.empty() ? "" : " ") + word;
      if (key == "Uid") id.uids = value;
      if (key == "Gid") id.gids = value;
      if (key == "Groups") id.groups = value;
      if (key == "CapPrm") id.capPrm = value;
      if (key == "CapEff") id.capEff = value;
    }
    // A thread that ended between the listing and the read has no status.
    if (!id.uids.empty()) result.push_back(id);
  }
  closedir(dir);
  return result;
}

std::multimap<std::string, uid_t> ThreadUids(pid_t pid) {
  std::multimap<std::string, uid_t> result;
  for (const ThreadIdentity &id : ThreadIdentities(pid)) {
    result.emplace(id.name, static_cast<uid_t>(std::stoul(id.uids)));
  }
  return result;
}

}  // namespace swagent
