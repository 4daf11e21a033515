// Input latency: from the parent's record being sent to the event arriving
// at the compositor's EIS server, through the real agent, its input event
// thread and libei. Private services, the fake compositor's libeis server
// (its event record carries the arrival times) and the reference parent.
//
// Prints p50/p99/max over 10,000 pointer records at a steady rate and in
// bursts, and the highest sustained rate at which nothing was lost.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/test_env.h"
#include "tools/sightwell-parent/parent.h"

namespace {

struct Arrival {
  int index;
  uint64_t ns;
};

// "abs X Y" lines after line `from` of the record; index = Y * 1000 + X.
std::vector<Arrival> ReadArrivals(const std::string &path, size_t from, size_t *lineCount) {
  std::vector<Arrival> out;
  std::istringstream in(swtest::ReadFile(path));
  std::string line;
  size_t n = 0;
  while (std::getline(in, line)) {
    if (in.eof()) {
      break;
    }
    if (n++ < from) {
      continue;
    }
    unsigned long long ns = 0;
    int x = 0;
    int y = 0;
    if (sscanf(line.c_str(), "%llu abs %d %d", &ns, &x, &y) == 3) {
      out.push_back({y * 1000 + x, ns});
    }
  }
  if (lineCount != nullptr) {
    *lineCount = n;
  }
  return out;
}

size_t LineCount(const std::string &path) {
  size_t n = 0;
  ReadArrivals(path, SIZE_MAX, &n);
  return n;
}

struct PhaseResult {
  size_t sent = 0;
  size_t received = 0;
  size_t reordered = 0;
  double p50Us = 0;
  double p99Us = 0;
  double maxUs = 0;
  double sendRate = 0;
};

// Sends `count` pointer records; `delayNs(i)` gives each one's planned send
// time relative to the start. Waits until all arrived (or a time-out) and
// measures.
template <typename Schedule>
PhaseResult RunPhase(swparent::Parent &parent, const std::string &events, int count,
                     Schedule delayNs) {
  size_t from = LineCount(events);
  std::vector<uint64_t> sent(static_cast<size_t>(count));
  uint64_t start = swparent::MonotonicNs() + 1000000;
  for (int i = 0; i < count; i++) {
    uint64_t due = start + delayNs(i);
    while (swparent::MonotonicNs() < due) {
      uint64_t left = due - swparent::MonotonicNs();
      if (left > 200000) {
        std::this_thread::sleep_for(std::chrono::nanoseconds(left - 100000));
      }
    }
    sent[static_cast<size_t>(i)] = swparent::MonotonicNs();
    parent.SendMouse(i % 1000, i / 1000, 0, 0, 0);
  }
  uint64_t end = swparent::MonotonicNs();
  std::vector<Arrival> got;
  swtest::WaitFor(
      [&] {
        got = ReadArrivals(events, from, nullptr);
        return got.size() >= static_cast<size_t>(count);
      },
      5000);
  PhaseResult r;
  r.sent = static_cast<size_t>(count);
  r.received = got.size();
  r.sendRate = count / ((end - start) / 1e9);
  std::vector<double> lat;
  int previous = -1;
  for (const Arrival &a : got) {
    if (a.index < previous) {
      r.reordered++;
    }
    previous = a.index;
    if (a.index >= 0 && a.index < count) {
      lat.push_back((static_cast<double>(a.ns) - static_cast<double>(sent[static_cast<size_t>(a.index)])) / 1000.0);
    }
  }
  if (!lat.empty()) {
    std::sort(lat.begin(), lat.end());
    r.p50Us = lat[lat.size() / 2];
    r.p99Us = lat[std::min(lat.size() - 1, lat.size() * 99 / 100)];
    r.maxUs = lat.back();
  }
  return r;
}

void Print(const char *name, const PhaseResult &r) {
  printf("%-28s sent %6zu received %6zu reordered %zu  send rate %8.0f/s  p50 %7.1f us  p99 %8.1f us  max %8.1f us\n",
         name, r.sent, r.received, r.reordered, r.sendRate, r.p50Us, r.p99Us, r.maxUs);
  fflush(stdout);
}

}  // namespace

int main(int argc, char **argv) {
  // --smoke: a few hundred events per phase and one rate, for CI.
  const bool smoke = argc > 1 && strcmp(argv[1], "--smoke") == 0;
  const int phaseEvents = smoke ? 500 : 10000;
  swtest::TestServices services;
  if (!services.ok()) {
    fprintf(stderr, "services: %s\n", services.error().c_str());
    return 1;
  }
  std::string dir = swtest::MakeTempDir("sw-input-bench");
  std::string events = dir + "/events";
  swtest::Process::Options copts;
  copts.env = services.env();
  copts.stdoutPath = dir + "/compositor.out";
  copts.stderrPath = dir + "/compositor.err";
  auto compositor = swtest::Process::Spawn(
      {swtest::FakeCompositorBinary(), "--eis-events=" + events}, copts);
  if (!compositor || !swtest::WaitFor([&] { return compositor->Stdout().find("ready") != std::string::npos; }, 10000)) {
    fprintf(stderr, "fake compositor did not start\n");
    return 1;
  }

  swparent::Parent parent(swtest::UniqueCardName());
  if (!parent.Listen() ||
      !parent.WriteSessionFiles(services.Get("DBUS_SESSION_BUS_ADDRESS"),
                                services.Get("XDG_RUNTIME_DIR"), getuid())) {
    fprintf(stderr, "parent set-up failed\n");
    return 1;
  }
  swtest::Process::Options aopts;
  aopts.env = services.env();
  aopts.env["QUILLWORKER_CARD"] = parent.card();
  aopts.stdoutPath = dir + "/agent.out";
  aopts.stderrPath = dir + "/agent.err";
  auto agent = swtest::Process::Spawn({swtest::AgentBinary()}, aopts);
  if (!agent || parent.WaitForControl(10000) == 0) {
    fprintf(stderr, "agent did not connect\n");
    return 1;
  }
  parent.SendCaptureStart("Meta-0");
  auto echo = parent.WaitControlRecord(REMOTE_CAPTURE_START, 10000);
  if (!echo || echo->status != CHANNEL_STATUS_SUCCESS) {
    fprintf(stderr, "capture start failed\n");
    return 1;
  }
  bool ready = swtest::WaitFor(
      [&] {
        std::string text = swtest::ReadFile(events);
        return text.find("start-emulating fake absolute pointer") != std::string::npos;
      },
      10000);
  if (!ready) {
    fprintf(stderr, "the agent's absolute pointer never started emulating (see %s)\n", dir.c_str());
    return 1;
  }

  printf("input latency: parent record sent -> event at the EIS server (%s)\n", dir.c_str());
  // Warm-up (connection buffers, page faults).
  RunPhase(parent, events, 1000, [](int i) { return static_cast<uint64_t>(i) * 1000000; });

  Print(smoke ? "steady 1000/s, 500 events" : "steady 1000/s, 10000 events",
        RunPhase(parent, events, phaseEvents, [](int i) { return static_cast<uint64_t>(i) * 1000000; }));
  // Bursts of 100 back-to-back records, 20 ms apart.
  Print(smoke ? "bursts 5 x 100 every 20ms" : "bursts 100 x 100 every 20ms",
        RunPhase(parent, events, phaseEvents, [](int i) { return static_cast<uint64_t>(i / 100) * 20000000; }));

  int best = 0;
  const std::vector<int> rates = smoke ? std::vector<int>{5000}
                                       : std::vector<int>{2000, 5000, 10000, 20000, 40000, 80000};
  for (int rate : rates) {
    int count = rate * 2;  // two seconds each
    uint64_t period = 1000000000ull / static_cast<uint64_t>(rate);
    PhaseResult r = RunPhase(parent, events, count,
                             [period](int i) { return static_cast<uint64_t>(i) * period; });
    char name[64];
    snprintf(name, sizeof name, "rate %d/s for 2 s", rate);
    Print(name, r);
    // Sustained: everything arrived, in order, and the sender kept the pace.
    if (r.received != r.sent || r.reordered != 0 || r.sendRate < rate * 0.9) {
      break;
    }
    best = rate;
  }
  printf("highest sustained rate with no loss: %d events/s\n", best);

  parent.SendStop();
  auto status = agent->Wait(10000);
  compositor->Signal(SIGTERM);
  compositor->Wait(5000);
  if (!status || *status != 0) {
    fprintf(stderr, "the agent did not stop cleanly (see %s)\n", dir.c_str());
    return 1;
  }
  return 0;
}
