// Idle cost: how often each of the agent's threads wakes and how much CPU it
// uses while capturing a screen that does not change, and while it streams.
// Private services, the fake compositor at 1280x720 (sending frames only on
// damage for the idle case, 30 fps for streaming), audio off, the reference
// parent reading.
//
// Wake-ups are the thread's voluntary plus involuntary context switches from
// /proc/PID/task/TID/status over the window; CPU is the run time from
// /proc/PID/task/TID/schedstat. Also prints how long REMOTE_STOP took.
//
//   idle_wakeups [--smoke] [--before AGENT]
// --before runs the same scenarios against another agent binary first (for
// example an older build), so both sets of figures come from one run.
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/test_env.h"
#include "tools/sightwell-parent/parent.h"

namespace {

struct ThreadSample {
  std::string name;
  uint64_t switches = 0;
  uint64_t runNs = 0;
};

// Reads "<key>:\t<number>" from a status file's text; 0 when absent.
uint64_t StatusField(const std::string &text, const char *key) {
  size_t at = text.find(key);
  if (at == std::string::npos) {
    return 0;
  }
  return strtoull(text.c_str() + at + strlen(key), nullptr, 10);
}

// Every thread of the process, by thread id.
std::map<int, ThreadSample> SampleThreads(pid_t pid) {
  std::map<int, ThreadSample> out;
  std::string taskDir = "/proc/" + std::to_string(pid) + "/task";
  DIR *dir = opendir(taskDir.c_str());
  if (dir == nullptr) {
    return out;
  }
  while (dirent *entry = readdir(dir)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') {
      continue;
    }
    std::string base = taskDir + "/" + entry->d_name;
    std::string status = swtest::ReadFile(base + "/status");
    if (status.empty()) {
      continue;  // the thread ended meanwhile
    }
    ThreadSample s;
    s.name = swtest::ReadFile(base + "/comm");
    while (!s.name.empty() && s.name.back() == '\n') {
      s.name.pop_back();
    }
    s.switches = StatusField(status, "voluntary_ctxt_switches:") +
                 StatusField(status, "nonvoluntary_ctxt_switches:");
    s.runNs = strtoull(swtest::ReadFile(base + "/schedstat").c_str(), nullptr, 10);
    out[atoi(entry->d_name)] = s;
  }
  closedir(dir);
  return out;
}

struct Totals {
  double wakeupsPerSecond = 0;
  double cpuPercent = 0;
};

// Prints one row per thread that lived through the whole window, then the
// sum. Threads that started or ended inside the window are counted apart.
Totals PrintWindow(const std::map<int, ThreadSample> &before,
                   const std::map<int, ThreadSample> &after, double seconds) {
  Totals total;
  int transient = 0;
  for (const auto &[tid, end] : after) {
    auto start = before.find(tid);
    if (start == before.end()) {
      transient++;
      continue;
    }
    double wakeups = static_cast<double>(end.switches - start->second.switches) / seconds;
    double cpu = static_cast<double>(end.runNs - start->second.runNs) / (seconds * 1e7);
    printf("    %-18s tid %-7d %8.1f wakeups/s %7.2f %% CPU\n", end.name.c_str(), tid, wakeups,
           cpu);
    total.wakeupsPerSecond += wakeups;
    total.cpuPercent += cpu;
  }
  for (const auto &[tid, start] : before) {
    if (after.count(tid) == 0) {
      transient++;
    }
  }
  printf("    %-18s %12s %8.1f wakeups/s %7.2f %% CPU", "all threads", "", total.wakeupsPerSecond,
         total.cpuPercent);
  if (transient != 0) {
    printf("  (%d threads came or went in the window)", transient);
  }
  printf("\n");
  fflush(stdout);
  return total;
}

struct Scenario {
  const char *name;
  const char *fps;  // the fake compositor's --sc-fps; 0 sends frames only on damage
};

// One agent against its own compositor: capture, let it settle, measure a
// window, stop. false (logged) when the set-up fails.
bool RunScenario(const swtest::TestServices &services, const std::string &agentBinary,
                 const Scenario &scenario, int settleMs, double windowSeconds) {
  std::string dir = swtest::MakeTempDir("sw-idle-bench");
  swtest::Process::Options copts;
  copts.env = services.env();
  copts.stdoutPath = dir + "/compositor.out";
  copts.stderrPath = dir + "/compositor.err";
  auto compositor = swtest::Process::Spawn({swtest::FakeCompositorBinary(), "--sc-width=1280",
                                            "--sc-height=720", std::string("--sc-fps=") + scenario.fps},
                                           copts);
  if (!compositor ||
      !swtest::WaitFor([&] { return compositor->Stdout().find("ready") != std::string::npos; },
                       10000)) {
    fprintf(stderr, "fake compositor did not start (see %s)\n", dir.c_str());
    return false;
  }

  swparent::Parent parent(swtest::UniqueCardName());
  if (!parent.Listen() ||
      !parent.WriteSessionFiles(services.Get("DBUS_SESSION_BUS_ADDRESS"),
                                services.Get("XDG_RUNTIME_DIR"), getuid())) {
    fprintf(stderr, "parent set-up failed\n");
    return false;
  }
  // The agent's log beside the other outputs, for a run that goes wrong.
  mkdir((dir + "/.velmora").c_str(), 0700);
  swtest::WriteFile(dir + "/.velmora/config",
                    "sightwell.log.fileName = \"" + dir + "/agent.log\"\n");
  swtest::Process::Options aopts;
  aopts.env = services.env();
  aopts.env["HOME"] = dir;
  aopts.env["QUILLWORKER_CARD"] = parent.card();
  aopts.stdoutPath = dir + "/agent.out";
  aopts.stderrPath = dir + "/agent.err";
  auto agent = swtest::Process::Spawn({agentBinary}, aopts);
  if (!agent || parent.WaitForControl(10000) == 0) {
    fprintf(stderr, "agent did not connect (see %s)\n", dir.c_str());
    return false;
  }
  parent.SendCaptureStart("Meta-0");
  auto echo = parent.WaitControlRecord(REMOTE_CAPTURE_START, 10000);
  if (!echo || echo->status != CHANNEL_STATUS_SUCCESS ||
      !swtest::WaitFor([&] { return parent.GetSummary().frames > 0; }, 15000)) {
    fprintf(stderr, "capture did not start (see %s)\n", dir.c_str());
    return false;
  }
  // Past the start-up: the input connection, the first frames, the caches.
  std::this_thread::sleep_for(std::chrono::milliseconds(settleMs));

  uint64_t framesBefore = parent.GetSummary().frames;
  auto before = SampleThreads(agent->pid());
  auto began = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(windowSeconds));
  auto after = SampleThreads(agent->pid());
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  uint64_t frames = parent.GetSummary().frames - framesBefore;

  printf("  %s (%s fps): %llu frames in %.1f s\n", scenario.name, scenario.fps,
         static_cast<unsigned long long>(frames), seconds);
  PrintWindow(before, after, seconds);

  auto stopAt = std::chrono::steady_clock::now();
  parent.SendStop();
  auto status = agent->Wait(10000);
  double stopMs =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - stopAt).count();
  compositor->Signal(SIGTERM);
  compositor->Wait(5000);
  if (!status || *status != 0) {
    fprintf(stderr, "the agent did not stop cleanly (see %s)\n", dir.c_str());
    return false;
  }
  printf("    REMOTE_STOP to exit: %.0f ms\n", stopMs);
  fflush(stdout);
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  bool smoke = false;
  std::string beforeAgent;
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "--smoke") == 0) {
      smoke = true;
    } else if (strcmp(argv[i], "--before") == 0 && i + 1 < argc) {
      beforeAgent = argv[++i];
    } else {
      fprintf(stderr, "usage: %s [--smoke] [--before AGENT]\n", argv[0]);
      return 2;
    }
  }
  const int settleMs = smoke ? 1000 : 3000;
  const double windowSeconds = smoke ? 2.0 : 20.0;

  swtest::TestServices services;
  if (!services.ok()) {
    fprintf(stderr, "services: %s\n", services.error().c_str());
    return 1;
  }
  const Scenario scenarios[] = {{"idle, static screen", "0"}, {"streaming", "30"}};
  std::vector<std::pair<std::string, std::string>> agents;
  if (!beforeAgent.empty()) {
    agents.emplace_back("before", beforeAgent);
  }
  agents.emplace_back("this build", swtest::AgentBinary());

  printf("agent threads: wake-ups and CPU per thread, 1280x720, audio off, %.0f s windows\n",
         windowSeconds);
  for (const auto &[label, binary] : agents) {
    printf("%s: %s\n", label.c_str(), binary.c_str());
    for (const Scenario &scenario : scenarios) {
      if (!RunScenario(services, binary, scenario, settleMs, windowSeconds)) {
        return 1;
      }
    }
  }
  return 0;
}
