// Frame path benchmark: the fake compositor produces frames, the agent
// captures them and the reference parent reads them. Per case it measures,
// over one window:
//   - delivered frames per second and drops (frames the compositor drew that
//     never reached the parent, from the counter stamped into the pixels);
//   - capture-to-parent latency p50/p99 (from the timestamp in the pixels);
//   - the agent's CPU per delivered frame, per thread as well, its
//     resident memory and its private memory (apart from the compositor's
//     shared frame buffers and the libraries) beside the buffers its design
//     holds for that frame size;
//   - the floor: the copies and the socket write the agent's design makes,
//     done in this process on the same size at the same pace, and beside it
//     the same with one copy only;
//   - the peer: GStreamer's pipewiresrc ! fakesink reading the same node, its
//     CPU per frame.
// and prints one table with the ratios agent/floor and agent/GStreamer.
//
// The exit status is non-zero only when something failed (services, the
// compositor or the agent did not start, no frames arrived, malformed or
// reordered frames), never because a figure missed its target.
//
//   frame_path [--smoke] [--seconds=N] [--case=WxH@FPS ...] [--no-peer | --peer-copy]
// FPS 0 means as fast as the compositor can. --peer-copy makes GStreamer copy
// every frame out of PipeWire's buffer (always-copy=true), a peer doing the
// one copy the agent cannot avoid either.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/frame_path_floor.h"
#include "bench/frame_path_probe.h"
#include "bench/interrupt.h"
#include "tests/support/process.h"
#include "tests/support/test_env.h"
#include "tools/sightwell-parent/parent.h"

namespace {

constexpr const char *kGstLaunch = "/usr/bin/gst-launch-1.0";
// The send buffer the agent sets on its control socket (0: the system's
// default); the floor's socket gets the same, so the writes compare like for
// like.
constexpr int kAgentSendBuffer = 0;

struct Case {
  uint32_t width;
  uint32_t height;
  uint32_t fps;  // 0 = as fast as the compositor can
};

struct Result {
  std::string label;
  std::string failure;  // empty when the case ran
  double fps = 0;
  uint64_t delivered = 0;
  uint64_t produced = 0;
  uint64_t drops = 0;
  double p50 = 0;
  double p99 = 0;
  double agentMs = 0;       // agent CPU per delivered frame
  long rssKiB = 0;
  long privateKiB = 0;
  long designKiB = 0;
  std::map<std::string, long> privateByKind;
  double floorMs = 0;       // the design's two copies and the write
  double minMs = 0;         // one copy and the write
  double gstMs = -1;        // -1: no peer figure
  double compositorMs = 0;  // producer CPU per produced frame
  std::vector<std::pair<std::string, double>> threads;  // ms per delivered frame
};

std::string Label(const Case &c) {
  std::string size = std::to_string(c.width) + "x" + std::to_string(c.height) + "@";
  if (c.width == 1920 && c.height == 1080) {
    size = "1080p";
  } else if (c.width == 3840 && c.height == 2160) {
    size = "2160p";
  }
  return size + (c.fps == 0 ? "max" : std::to_string(c.fps));
}

unsigned NodeId(const swtest::Process &compositor) {
  const std::string out = compositor.Stdout();
  const size_t at = out.rfind("screencast node ");
  return at == std::string::npos ? 0 : static_cast<unsigned>(atoi(out.c_str() + at + 16));
}

enum class Peer { kNone, kMap, kCopy };

// GStreamer's pipewiresrc on the same node. It needs caps to offer a format:
// with none (ANY) it connects without one and PipeWire leaves it unlinked.
std::unique_ptr<swtest::Process> StartPeer(const swtest::TestServices &services,
                                           const std::string &dir, unsigned node, Peer peer) {
  if (peer == Peer::kNone || node == 0 || access(kGstLaunch, X_OK) != 0) {
    return nullptr;
  }
  swtest::Process::Options o;
  o.env = services.env();
  o.stdoutPath = dir + "/gst.out";
  o.stderrPath = dir + "/gst.err";
  return swtest::Process::Spawn({kGstLaunch, "-q", "pipewiresrc", "path=" + std::to_string(node),
                                 peer == Peer::kCopy ? "always-copy=true" : "always-copy=false",
                                 "!", "video/x-raw", "!", "fakesink",
                                 "sync=false"},
                                o);
}

// CPU nanoseconds of all of a process's threads between two snapshots.
uint64_t SumNs(const std::map<pid_t, swbench::ThreadTime> &before,
               const std::map<pid_t, swbench::ThreadTime> &after) {
  uint64_t ns = 0;
  for (const auto &entry : swbench::ThreadDelta(before, after)) {
    ns += entry.second;
  }
  return ns;
}

void Stop(std::unique_ptr<swtest::Process> &p, int sig, int waitMs) {
  if (p == nullptr) {
    return;
  }
  p->Signal(sig);
  if (!p->Wait(waitMs)) {
    p->Signal(SIGKILL);
    p->Wait(2000);
  }
}

Result RunCase(const swtest::TestServices &services, const std::string &dir, size_t index,
               const Case &c, int seconds, Peer peer) {
  Result r;
  r.label = Label(c);
  const std::string caseDir = dir + "/" + std::to_string(index + 1) + "-" +
                              std::to_string(c.width) + "x" + std::to_string(c.height) + "@" +
                              std::to_string(c.fps);
  if (mkdir(caseDir.c_str(), 0700) != 0) {
    r.failure = "cannot create " + caseDir;
    return r;
  }

  swtest::Process::Options copts;
  copts.env = services.env();
  copts.stdoutPath = caseDir + "/compositor.out";
  copts.stderrPath = caseDir + "/compositor.err";
  // The compositor's own "as fast as it can" is a 1 ms timer.
  auto compositor = swtest::Process::Spawn(
      {swtest::FakeCompositorBinary(), "--sc-width=" + std::to_string(c.width),
       "--sc-height=" + std::to_string(c.height),
       "--sc-fps=" + std::to_string(c.fps == 0 ? 1000 : c.fps), "--sc-shape-period=60"},
      copts);
  if (!compositor ||
      !swtest::WaitFor([&] { return compositor->Stdout().find("ready") != std::string::npos; },
                       10000)) {
    r.failure = "fake compositor did not start";
    return r;
  }
  swparent::Parent parent(swtest::UniqueCardName());
  if (!parent.Listen() || !parent.WriteSessionFiles(services.Get("DBUS_SESSION_BUS_ADDRESS"),
                                                    services.Get("XDG_RUNTIME_DIR"), getuid())) {
    r.failure = "parent set-up failed";
    return r;
  }
  swtest::Process::Options aopts;
  aopts.env = services.env();
  aopts.env["QUILLWORKER_CARD"] = parent.card();
  aopts.stdoutPath = caseDir + "/agent.out";
  aopts.stderrPath = caseDir + "/agent.err";
  auto agent = swtest::Process::Spawn({swtest::AgentBinary()}, aopts);
  if (!agent || parent.WaitForControl(10000) == 0 || !parent.SendCaptureStart("Meta-0")) {
    r.failure = "agent did not connect";
    return r;
  }
  if (!swtest::WaitFor([&] { return swbench::Interrupted() || parent.GetSummary().frames >= 5; },
                       20000) ||
      swbench::Interrupted()) {
    r.failure = swbench::Interrupted() ? "interrupted" : "no frames reached the parent";
    return r;
  }

  std::unique_ptr<swtest::Process> gst = StartPeer(services, caseDir, NodeId(*compositor), peer);
  swbench::Pause(1000);  // warm-up: formats settled, buffers mapped, the peer linked

  const swparent::Summary before = parent.GetSummary();
  const double agentCpu0 = swbench::ProcessCpuSeconds(agent->pid());
  // CPU from the threads' nanosecond counters: GStreamer spends a fraction
  // of a clock tick per frame, and a smoke run lasts only a few ticks.
  using Threads = std::map<pid_t, swbench::ThreadTime>;
  const Threads gstThreads0 = gst ? swbench::ThreadTimes(gst->pid()) : Threads{};
  const auto compThreads0 = swbench::ThreadTimes(compositor->pid());
  const auto threads0 = swbench::ThreadTimes(agent->pid());
  const auto begin = std::chrono::steady_clock::now();
  swbench::Pause(seconds * 1000);
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  const swparent::Summary after = parent.GetSummary();
  const double agentCpu = swbench::ProcessCpuSeconds(agent->pid()) - agentCpu0;
  const Threads gstThreads1 = gst ? swbench::ThreadTimes(gst->pid()) : Threads{};
  const auto compThreads1 = swbench::ThreadTimes(compositor->pid());
  const auto threads1 = swbench::ThreadTimes(agent->pid());
  r.rssKiB = swbench::RssKiB(agent->pid());
  r.privateKiB = swbench::PrivateKiB(agent->pid());
  r.privateByKind = swbench::PrivateKiBByKind(agent->pid());
  r.designKiB = swbench::DesignBufferKiB(c.width, c.height, false);
  const bool gstAlive = gst && gst->Running();
  const bool agentAlive = agent->Running();

  Stop(gst, SIGINT, 3000);
  parent.SendStop();
  if (!agent->Wait(10000)) {
    agent->Signal(SIGKILL);
    agent->Wait(2000);
  }
  Stop(compositor, SIGTERM, 5000);

  r.delivered = after.frames - before.frames;
  r.drops = after.frameCounterGaps - before.frameCounterGaps;
  r.produced = r.delivered + r.drops;
  r.fps = static_cast<double>(r.delivered) / wall;
  std::vector<double> latency(after.frameLatencyMs.begin() +
                                  static_cast<long>(before.frameLatencyMs.size()),
                              after.frameLatencyMs.end());
  r.p50 = swparent::Percentile(latency, 50);
  r.p99 = swparent::Percentile(latency, 99);
  const double delivered = static_cast<double>(std::max<uint64_t>(r.delivered, 1));
  const double produced = static_cast<double>(std::max<uint64_t>(r.produced, 1));
  r.compositorMs = static_cast<double>(SumNs(compThreads0, compThreads1)) / 1e6 / produced;
  // Every frame the compositor draws goes to every consumer linked to it. A
  // peer that spent under a millisecond in the whole window never linked.
  const uint64_t gstNs = gstAlive ? SumNs(gstThreads0, gstThreads1) : 0;
  if (gstNs >= 1000000) {
    r.gstMs = static_cast<double>(gstNs) / 1e6 / produced;
  }
  uint64_t agentThreadNs = 0;
  for (const auto &[name, ns] : swbench::ThreadDelta(threads0, threads1)) {
    r.threads.emplace_back(name, static_cast<double>(ns) / 1e6 / delivered);
    agentThreadNs += ns;
  }
  // The threads' nanosecond counters are exact where the process's clock
  // ticks (10 ms) are not; the ticks also hold threads that ended within the
  // window, and win when they show clearly more.
  const double threadSeconds = static_cast<double>(agentThreadNs) / 1e9;
  r.agentMs = (agentCpu > threadSeconds + 0.02 ? agentCpu : threadSeconds) * 1e3 / delivered;
  std::sort(r.threads.begin(), r.threads.end(),
            [](const auto &a, const auto &b) { return a.second > b.second; });

  // The floor runs with nothing else of the case alive, so it competes only
  // with the machine's background.
  if (swbench::Interrupted()) {
    r.failure = "interrupted";
    return r;
  }
  swbench::FloorOptions floor;
  floor.width = c.width;
  floor.height = c.height;
  floor.fps = c.fps;
  floor.sendBuffer = kAgentSendBuffer;
  r.floorMs = swbench::FloorNsPerFrame(floor) / 1e6;
  floor.copies = 1;
  r.minMs = swbench::FloorNsPerFrame(floor) / 1e6;

  if (swbench::Interrupted()) {
    r.failure = "interrupted";
  } else if (!agentAlive) {
    r.failure = "the agent ended during the measuring window";
  } else if (r.delivered == 0) {
    r.failure = "no frames in the measuring window";
  } else if (after.malformed > 0) {
    r.failure = "malformed record: " + after.firstMalformed;
  } else if (after.frameOrderErrors != before.frameOrderErrors) {
    r.failure = "frames out of order";
  }
  if (!r.failure.empty()) {
    r.failure += " (see " + caseDir + ")";
  }
  return r;
}

std::string Ratio(double a, double b) {
  if (a <= 0 || b <= 0) {
    return "n/a";
  }
  char text[32];
  snprintf(text, sizeof text, "%.2f", a / b);
  return text;
}

void PrintTable(const std::vector<Result> &results) {
  printf("\n%-10s %6s %14s %16s %9s %9s %7s %9s %9s %7s %6s %8s\n", "case", "fps",
         "drops/produced", "latency p50/p99", "agent/fr", "floor/fr", "a/floor", "1copy/fr",
         "gst/fr", "a/gst", "RSS", "comp/fr");
  for (const Result &r : results) {
    if (!r.failure.empty()) {
      printf("%-10s FAILED: %s\n", r.label.c_str(), r.failure.c_str());
      continue;
    }
    char drops[32];
    char latency[32];
    char gst[16];
    snprintf(drops, sizeof drops, "%llu/%llu", static_cast<unsigned long long>(r.drops),
             static_cast<unsigned long long>(r.produced));
    snprintf(latency, sizeof latency, "%.1f/%.1f ms", r.p50, r.p99);
    if (r.gstMs >= 0) {
      snprintf(gst, sizeof gst, "%.3f ms", r.gstMs);
    } else {
      snprintf(gst, sizeof gst, "n/a");
    }
    printf("%-10s %6.1f %14s %16s %6.2f ms %6.2f ms %7s %6.2f ms %9s %7s %3ldMiB %5.2f ms\n",
           r.label.c_str(), r.fps, drops, latency, r.agentMs, r.floorMs,
           Ratio(r.agentMs, r.floorMs).c_str(), r.minMs, gst, Ratio(r.agentMs, r.gstMs).c_str(),
           r.rssKiB / 1024, r.compositorMs);
  }
  printf("\nagent memory, MiB: private (by kind of mapping) against the design's buffers + 16\n");
  for (const Result &r : results) {
    if (!r.failure.empty()) {
      continue;
    }
    printf("  %-10s private %5.1f (", r.label.c_str(), r.privateKiB / 1024.0);
    for (const auto &[kind, kib] : r.privateByKind) {
      if (kind != "memfd") {
        printf(" %s %.1f", kind.c_str(), kib / 1024.0);
      }
    }
    auto memfd = r.privateByKind.find("memfd");
    printf(" ; shared-memory files not counted %.1f",
           memfd != r.privateByKind.end() ? memfd->second / 1024.0 : 0.0);
    const double bound = r.designKiB / 1024.0 + 16;
    printf(" ), design %.1f, bound %.1f %s\n", r.designKiB / 1024.0, bound,
           r.privateKiB / 1024.0 <= bound ? "(met)" : "(missed)");
  }
  printf("\nfloor: the two frame copies of the design and one socket write; 1copy: one copy "
         "and the write; comp: the fake compositor per frame drawn\n");
  printf("\nagent CPU per delivered frame by thread, ms (sightwell-captu#1 is the capture event "
         "thread, the last #n the process worker):\n");
  for (const Result &r : results) {
    if (!r.failure.empty()) {
      continue;
    }
    printf("  %-10s", r.label.c_str());
    for (const auto &[name, ms] : r.threads) {
      if (ms >= 0.005) {
        printf(" %s %.3f;", name.c_str(), ms);
      }
    }
    printf("\n");
  }
}

// Targets for a case paced at a rate the parent keeps up with; reported, not
// enforced.
void PrintTargets(const std::vector<Result> &results, const std::vector<Case> &cases) {
  printf("\ntargets (paced cases): no drops, latency p99 < 2 frame intervals, agent <= 1.5x floor\n");
  for (size_t i = 0; i < results.size(); i++) {
    const Result &r = results[i];
    if (!r.failure.empty() || cases[i].fps == 0) {
      continue;
    }
    const double twoIntervals = 2000.0 / cases[i].fps;
    printf("  %-10s drops %s, p99 %.1f ms %s %.1f ms, agent/floor %s %s\n", r.label.c_str(),
           r.drops == 0 ? "none (met)" : "present (missed)", r.p99,
           r.p99 < twoIntervals ? "<" : ">=", twoIntervals, Ratio(r.agentMs, r.floorMs).c_str(),
           r.floorMs > 0 && r.agentMs <= 1.5 * r.floorMs ? "(met)" : "(missed)");
  }
}

bool ParseCase(const char *text, Case *c) {
  unsigned w = 0;
  unsigned h = 0;
  unsigned fps = 0;
  if (sscanf(text, "%ux%u@%u", &w, &h, &fps) != 3 || w == 0 || h == 0 || w > 4096 || h > 4096) {
    return false;
  }
  *c = Case{w, h, fps};
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  bool smoke = false;
  Peer peer = Peer::kMap;
  int seconds = 5;
  std::vector<Case> cases;
  for (int i = 1; i < argc; i++) {
    Case c{};
    if (strcmp(argv[i], "--smoke") == 0) {
      smoke = true;
    } else if (strcmp(argv[i], "--no-peer") == 0) {
      peer = Peer::kNone;
    } else if (strcmp(argv[i], "--peer-copy") == 0) {
      peer = Peer::kCopy;
    } else if (strncmp(argv[i], "--seconds=", 10) == 0 && atoi(argv[i] + 10) > 0) {
      seconds = atoi(argv[i] + 10);
    } else if (strncmp(argv[i], "--case=", 7) == 0 && ParseCase(argv[i] + 7, &c)) {
      cases.push_back(c);
    } else {
      fprintf(stderr,
              "usage: frame_path [--smoke] [--seconds=N] [--case=WxH@FPS ...] "
              "[--no-peer | --peer-copy]\n");
      return 2;
    }
  }
  if (smoke) {
    cases = {{320, 240, 30}};
    seconds = 2;
  } else if (cases.empty()) {
    cases = {{1920, 1080, 0}, {1920, 1080, 60}, {3840, 2160, 0}, {3840, 2160, 60}};
  }

  swbench::CatchInterrupts();

  swtest::TestServices services;
  if (!services.ok()) {
    fprintf(stderr, "services: %s\n", services.error().c_str());
    return 1;
  }
  const std::string dir = swtest::MakeTempDir("sw-frame-bench");
  printf("frame path: fake compositor -> agent -> reference parent; %d s per case; "
         "load average %.2f (logs in %s, kept after a failure)\npeer: %s\n",
         seconds, swbench::LoadAverage1(), dir.c_str(),
         peer == Peer::kNone   ? "none"
         : peer == Peer::kCopy ? "pipewiresrc always-copy=true ! fakesink (copies each frame)"
                               : "pipewiresrc ! fakesink (maps each frame, copies nothing)");
  fflush(stdout);
  std::vector<Result> results;
  for (size_t i = 0; i < cases.size() && !swbench::Interrupted(); i++) {
    results.push_back(RunCase(services, dir, i, cases[i], seconds, peer));
  }
  PrintTable(results);
  PrintTargets(results, cases);
  printf("\nload average at the end %.2f\n", swbench::LoadAverage1());
  const bool failed = swbench::Interrupted() ||
                      std::any_of(results.begin(), results.end(),
                                  [](const Result &r) { return !r.failure.empty(); });
  // The logs of the processes are kept only when something failed.
  if (!failed) {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }
  return failed ? 1 : 0;
}
