#include "tests/support/test_env.h"

#include "tests/support/process.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

namespace swtest {

std::string SourcePath(const std::string &relative) {
  return std::string(SIGHTWELL_SOURCE_DIR) + "/" + relative;
}

std::string BinaryPath(const std::string &relative) {
  return std::string(SIGHTWELL_BINARY_DIR) + "/" + relative;
}

std::string AgentBinary() { return BinaryPath("agent/sightwell"); }
std::string ParentBinary() { return BinaryPath("tools/sightwell-parent/sightwell-parent"); }
std::string FakeCompositorBinary() {
  return BinaryPath("tools/fake-compositor/sightwell-fake-compositor");
}

std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool WriteFile(const std::string &path, const std::string &contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
  return static_cast<bool>(out);
}

bool WaitFor(const std::function<bool()> &cond, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!cond()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return cond();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

std::string MakeTempDir(const std::string &prefix) {
  std::string tmpl = "/tmp/" + prefix + "-XXXXXX";
  char *made = mkdtemp(tmpl.data());
  return made != nullptr ? std::string(made) : std::string();
}

std::string UniqueCardName() {
  // Six characters: two from the pid, four from a per-process counter, in
  // base 36, so parallel test processes do not collide on socket paths.
  static std::atomic<unsigned> counter{0};
  static const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  unsigned pid = static_cast<unsigned>(getpid());
  unsigned n = counter.fetch_add(1) + (pid % 1000) * 1000;
  std::string card = "t";
  card += digits[(pid / 36) % 36];
  card += digits[pid % 36];
  for (int i = 0; i < 3; i++) {
    card += digits[n % 36];
    n /= 36;
  }
  return card;
}

namespace {

// Runs a command, returns its exit status and standard output.
int RunCapture(const std::string &command, std::string *out) {
  FILE *pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    return -1;
  }
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) {
    out->append(buf, n);
  }
  int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TestServices::TestServices() {
  dir_ = MakeTempDir("sightwell-services");
  if (dir_.empty()) {
    error_ = "cannot create a temporary folder";
    return;
  }
  std::string out;
  std::string cmd = SourcePath("scripts/testenv") + " start " + dir_ + " 2>&1";
  int rc = RunCapture(cmd, &out);
  if (rc != 0) {
    error_ = "scripts/testenv start failed: " + out;
    return;
  }
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    auto eq = line.find('=');
    if (eq != std::string::npos) {
      env_[line.substr(0, eq)] = line.substr(eq + 1);
    }
  }
  ReadPids();
  ok_ = env_.count("DBUS_SESSION_BUS_ADDRESS") == 1 && pids_.size() == 3;
  if (!ok_) {
    error_ = "scripts/testenv printed no environment: " + out;
  }
}

void TestServices::ReadPids() {
  std::istringstream pids(ReadFile(dir_ + "/pids"));
  pid_t pid;
  std::string comm;
  while (pids >> pid >> comm) {
    pids_[comm] = pid;
  }
}

bool TestServices::RestartPipeWire() {
  std::string out;
  int rc = RunCapture(SourcePath("scripts/testenv") + " restart-pipewire " + dir_ + " 2>&1", &out);
  ReadPids();
  if (rc != 0) {
    error_ = "scripts/testenv restart-pipewire failed: " + out;
    return false;
  }
  return true;
}

TestServices::~TestServices() {
  if (!dir_.empty()) {
    std::string out;
    RunCapture(SourcePath("scripts/testenv") + " stop " + dir_ + " 2>&1", &out);
    RunCapture("rm -rf '" + dir_ + "'", &out);
  }
}

std::string TestServices::Get(const std::string &key) const {
  auto it = env_.find(key);
  return it == env_.end() ? std::string() : it->second;
}

void TestServices::ApplyToProcess() const {
  for (const auto &[key, value] : env_) {
    setenv(key.c_str(), value.c_str(), 1);
  }
  unsetenv("PIPEWIRE_REMOTE");
}

pid_t TestServices::Pid(const std::string &comm) const {
  auto it = pids_.find(comm);
  return it == pids_.end() ? -1 : it->second;
}

bool TestServices::Kill(const std::string &comm) {
  auto it = pids_.find(comm);
  if (it == pids_.end() || it->second <= 0) {
    return false;
  }
  pid_t pid = it->second;
  // Only signal the process we started (its name must still match).
  std::string name = ReadFile("/proc/" + std::to_string(pid) + "/comm");
  if (name.rfind(comm, 0) != 0) {
    return false;
  }
  kill(pid, SIGKILL);
  WaitFor([&] { return ReadFile("/proc/" + std::to_string(pid) + "/comm").rfind(comm, 0) != 0; },
          5000);
  it->second = -1;
  return true;
}

std::unique_ptr<Process> StartFakeCompositor(const TestServices &services,
                                             const std::vector<std::string> &args) {
  std::vector<std::string> argv = {FakeCompositorBinary()};
  argv.insert(argv.end(), args.begin(), args.end());
  Process::Options options;
  options.env = services.env();
  auto compositor = Process::Spawn(argv, options);
  if (!compositor ||
      !WaitFor([&] { return compositor->Stdout().find("ready") != std::string::npos; }, 10000)) {
    return nullptr;
  }
  return compositor;
}

}  // namespace swtest
