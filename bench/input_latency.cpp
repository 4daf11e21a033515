// Input latency: from the parent's record being sent to the event arriving
// at the compositor's EIS server, through the real agent, its input event
// thread and libei. Private services, the fake compositor's libeis server
// (its event record carries the arrival times) and the reference parent.
//
// Prints p50/p99/max over 10,000 pointer records at a steady rate and in
// bursts, and the highest sustained rate at which nothing was lost.
//
// By default the agent logs at debug level, where it notes for each event
// when it read the record and when it handed it to libei; each phase then
// also prints where the time goes, stage by stage (parent send -> agent
// read -> libei send -> EIS server receive), over all events and over the
// slowest 1 %. That log line costs the agent a few microseconds per event;
// --plain leaves the log at its default level and prints totals only.
#include <signal.h>
#include <sys/stat.h>
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

// Complete lines after line `from` of a file that is still being written;
// `parse` is given each one. Returns the number of complete lines.
template <typename Parse>
size_t ReadLines(const std::string &path, size_t from, Parse parse) {
  std::istringstream in(swtest::ReadFile(path));
  std::string line;
  size_t n = 0;
  while (std::getline(in, line)) {
    if (in.eof()) {
      break;
    }
    if (n++ >= from) {
      parse(line);
    }
  }
  return n;
}

size_t LineCount(const std::string &path) {
  return ReadLines(path, SIZE_MAX, [](const std::string &) {});
}

// "abs X Y" lines of the EIS record; index = Y * 1000 + X.
std::vector<Arrival> ReadArrivals(const std::string &path, size_t from) {
  std::vector<Arrival> out;
  ReadLines(path, from, [&out](const std::string &line) {
    unsigned long long ns = 0;
    int x = 0;
    int y = 0;
    if (sscanf(line.c_str(), "%llu abs %d %d", &ns, &x, &y) == 3) {
      out.push_back({y * 1000 + x, ns});
    }
  });
  return out;
}

// The agent's debug lines for pointer records: when it read the record from
// the parent and when it handed the event to libei.
struct AgentStamp {
  uint64_t readNs = 0;
  uint64_t sentNs = 0;
};

std::vector<AgentStamp> ReadAgentStamps(const std::string &log, size_t from, int count,
                                        size_t *found) {
  std::vector<AgentStamp> out(static_cast<size_t>(count));
  *found = 0;
  ReadLines(log, from, [&](const std::string &line) {
    size_t at = line.find("Input stamps: abs ");
    int x = 0;
    int y = 0;
    unsigned long long readNs = 0;
    unsigned long long sentNs = 0;
    if (at != std::string::npos &&
        sscanf(line.c_str() + at, "Input stamps: abs %d %d read %llu sent %llu", &x, &y, &readNs,
               &sentNs) == 4) {
      int index = y * 1000 + x;
      if (index >= 0 && index < count) {
        out[static_cast<size_t>(index)] = {readNs, sentNs};
        (*found)++;
      }
    }
  });
  return out;
}

// One stage's durations in microseconds, sorted by the caller.
struct Spread {
  double p50 = 0;
  double p99 = 0;
  double max = 0;
};

Spread SpreadOf(std::vector<double> v) {
  Spread s;
  if (v.empty()) {
    return s;
  }
  std::sort(v.begin(), v.end());
  s.p50 = v[v.size() / 2];
  s.p99 = v[std::min(v.size() - 1, v.size() * 99 / 100)];
  s.max = v.back();
  return s;
}

constexpr int kStages = 3;
constexpr const char *kStageNames[kStages] = {"parent send -> agent read", "agent read -> libei send",
                                              "libei send -> EIS receive"};

struct StageResult {
  size_t stamped = 0;
  Spread stage[kStages];
  // Mean of each stage over the slowest 1 % of events by total latency.
  double tailMean[kStages] = {};
  double tailTotal = 0;
};

struct PhaseResult {
  size_t sent = 0;
  size_t received = 0;
  size_t reordered = 0;
  double p50Us = 0;
  double p99Us = 0;
  double maxUs = 0;
  double sendRate = 0;
  bool hasStages = false;
  StageResult stages;
};

// Splits each event's latency at the agent's stamps.
StageResult Attribute(const std::vector<uint64_t> &sent, const std::vector<Arrival> &got,
                      const std::vector<AgentStamp> &stamps) {
  StageResult r;
  struct Event {
    double stage[kStages];
    double total;
  };
  std::vector<Event> events;
  events.reserve(got.size());
  for (const Arrival &a : got) {
    if (a.index < 0 || static_cast<size_t>(a.index) >= sent.size()) {
      continue;
    }
    const AgentStamp &st = stamps[static_cast<size_t>(a.index)];
    if (st.readNs == 0) {
      continue;  // merged into a later record, or no line for it
    }
    uint64_t points[kStages + 1] = {sent[static_cast<size_t>(a.index)], st.readNs, st.sentNs, a.ns};
    Event e{};
    for (int k = 0; k < kStages; k++) {
      e.stage[k] = (static_cast<double>(points[k + 1]) - static_cast<double>(points[k])) / 1000.0;
    }
    e.total = (static_cast<double>(a.ns) - static_cast<double>(points[0])) / 1000.0;
    events.push_back(e);
  }
  r.stamped = events.size();
  if (events.empty()) {
    return r;
  }
  for (int k = 0; k < kStages; k++) {
    std::vector<double> v;
    v.reserve(events.size());
    for (const Event &e : events) {
      v.push_back(e.stage[k]);
    }
    r.stage[k] = SpreadOf(std::move(v));
  }
  std::sort(events.begin(), events.end(),
            [](const Event &a, const Event &b) { return a.total > b.total; });
  size_t tail = std::max<size_t>(1, events.size() / 100);
  for (size_t i = 0; i < tail; i++) {
    for (int k = 0; k < kStages; k++) {
      r.tailMean[k] += events[i].stage[k] / static_cast<double>(tail);
    }
    r.tailTotal += events[i].total / static_cast<double>(tail);
  }
  return r;
}

// Sends `count` pointer records; `delayNs(i)` gives each one's planned send
// time relative to the start. Waits until all arrived (or a time-out) and
// measures.
// With a non-empty agentLog, the agent's stamps split each latency into
// stages.
template <typename Schedule>
PhaseResult RunPhase(swparent::Parent &parent, const std::string &events,
                     const std::string &agentLog, int count, Schedule delayNs) {
  size_t from = LineCount(events);
  size_t logFrom = agentLog.empty() ? 0 : LineCount(agentLog);
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
        got = ReadArrivals(events, from);
        return got.size() >= static_cast<size_t>(count);
      },
      5000);
  PhaseResult r;
  r.sent = static_cast<size_t>(count);
  r.received = got.size();
  r.sendRate = count / ((end - start) / 1e9);
  if (!agentLog.empty()) {
    // The agent writes its line right after the send, so it is there (or
    // nearly) by the time the event arrived; records merged into a later
    // one never get a line of their own.
    size_t found = 0;
    std::vector<AgentStamp> stamps;
    swtest::WaitFor(
        [&] {
          stamps = ReadAgentStamps(agentLog, logFrom, count, &found);
          return found >= got.size();
        },
        2000);
    r.hasStages = true;
    r.stages = Attribute(sent, got, stamps);
  }
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
  if (r.hasStages) {
    const StageResult &st = r.stages;
    for (int k = 0; k < kStages; k++) {
      printf("    %-28s p50 %7.1f us  p99 %8.1f us  max %8.1f us   slowest 1%%: mean %8.1f us\n",
             kStageNames[k], st.stage[k].p50, st.stage[k].p99, st.stage[k].max, st.tailMean[k]);
    }
    printf("    (%zu events stamped; slowest 1%% mean total %.1f us)\n", st.stamped, st.tailTotal);
  }
  fflush(stdout);
}

}  // namespace

int main(int argc, char **argv) {
  // --smoke: a few hundred events per phase and one rate, for CI.
  // --plain: no stage stamps, the agent's log at its default level.
  bool smoke = false;
  bool plain = false;
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "--smoke") == 0) {
      smoke = true;
    } else if (strcmp(argv[i], "--plain") == 0) {
      plain = true;
    } else {
      fprintf(stderr, "usage: %s [--smoke] [--plain]\n", argv[0]);
      return 2;
    }
  }
  const int phaseEvents = smoke ? 500 : 10000;
  swtest::TestServices services;
  if (!services.ok()) {
    fprintf(stderr, "services: %s\n", services.error().c_str());
    return 1;
  }
  std::string dir = swtest::MakeTempDir("sw-input-bench");
  std::string events = dir + "/events";
  // The agent's log goes to a file of the bench's own, named by the user
  // preference file under $HOME; with stamps on it is at debug level and
  // never throttled (a line per event is far above the throttling rate).
  std::string agentLog = dir + "/agent.log";
  mkdir((dir + "/.velmora").c_str(), 0755);
  std::string prefs = "sightwell.log.fileName = \"" + agentLog + "\"\n";
  if (!plain) {
    prefs += "log.fileLevel = \"debug\"\nlog.throttleBytesPerSec = \"0\"\n";
  }
  swtest::WriteFile(dir + "/.velmora/config", prefs);
  const std::string stampLog = plain ? std::string() : agentLog;
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
  aopts.env["HOME"] = dir;
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
  RunPhase(parent, events, stampLog, 1000, [](int i) { return static_cast<uint64_t>(i) * 1000000; });

  Print(smoke ? "steady 1000/s, 500 events" : "steady 1000/s, 10000 events",
        RunPhase(parent, events, stampLog, phaseEvents, [](int i) { return static_cast<uint64_t>(i) * 1000000; }));
  // Bursts of 100 back-to-back records, 20 ms apart.
  Print(smoke ? "bursts 5 x 100 every 20ms" : "bursts 100 x 100 every 20ms",
        RunPhase(parent, events, stampLog, phaseEvents, [](int i) { return static_cast<uint64_t>(i / 100) * 20000000; }));

  int best = 0;
  const std::vector<int> rates = smoke ? std::vector<int>{5000}
                                       : std::vector<int>{2000, 5000, 10000, 20000, 40000, 80000};
  for (int rate : rates) {
    int count = rate * 2;  // two seconds each
    uint64_t period = 1000000000ull / static_cast<uint64_t>(rate);
    PhaseResult r = RunPhase(parent, events, stampLog, count,
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
