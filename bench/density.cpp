// Density benchmark: what one desktop session costs a host that runs many.
//
// For each N it starts N independent sessions, each with its own private
// services (session bus, PipeWire, WirePlumber), its own fake compositor at
// 1280x720, its own agent and its own reference parent. Every agent captures
// the screen, streams the audio of its session's null sink and injects a
// trickle of pointer motion (20 records a second). Over one window it
// measures per session: the agent's CPU per delivered frame and as a share
// of a core, its private memory, the frames the compositor drew that never
// reached the parent, the input records that never reached the compositor's
// EIS server or arrived out of order, and the audio that arrived against the
// window's length. It does so once with screens that change 30 times a
// second ("streaming") and once with screens that never change ("idle").
//
// The exit status is non-zero only when something failed (a session did not
// start, no frames arrived, a record was malformed, input was lost or
// reordered), never because a figure is high.
//
//   density [--smoke] [--seconds=N] [--sessions=N,N,...]
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/frame_path_probe.h"
#include "bench/interrupt.h"
#include "tests/support/process.h"
#include "tests/support/test_env.h"
#include "tools/sightwell-parent/parent.h"

namespace {

constexpr uint32_t kWidth = 1280;
constexpr uint32_t kHeight = 720;
constexpr uint32_t kFps = 30;
// Pointer records per second per session: a user moving the mouse now and
// then, not a stress test (bench/input_latency is that).
constexpr int kInputPerSecond = 20;

// "abs X Y" lines of the EIS server's event record: how many, and how many
// came with a smaller index (Y * 1000 + X) than the one before (reordered).
void CountPointerEvents(const std::string &path, size_t *count, size_t *reordered) {
  std::istringstream in(swtest::ReadFile(path));
  std::string line;
  int previous = -1;
  *count = 0;
  *reordered = 0;
  while (std::getline(in, line)) {
    unsigned long long ns = 0;
    int x = 0;
    int y = 0;
    if (sscanf(line.c_str(), "%llu abs %d %d", &ns, &x, &y) != 3) {
      continue;
    }
    (*count)++;
    if (y * 1000 + x < previous) {
      (*reordered)++;
    }
    previous = y * 1000 + x;
  }
}

// One desktop session and everything it runs.
struct Session {
  std::string dir;
  std::string events;
  std::unique_ptr<swtest::TestServices> services;
  std::unique_ptr<swtest::Process> compositor;
  std::unique_ptr<swparent::Parent> parent;
  std::unique_ptr<swtest::Process> agent;
  std::string failure;
  int inputSent = 0;

  // Figures over the window.
  swparent::Summary before;
  swparent::Summary after;
  std::map<pid_t, swbench::ThreadTime> threads0;
  double cpu0 = 0;
  double cpuSeconds = 0;
  long privateKiB = 0;
  size_t inputReceived = 0;
  size_t inputReordered = 0;
};

bool Start(Session &s, const std::string &dir, bool idle) {
  s.dir = dir;
  s.events = dir + "/eis-events";
  s.services = std::make_unique<swtest::TestServices>();
  if (!s.services->ok()) {
    s.failure = "services: " + s.services->error();
    return false;
  }
  swtest::Process::Options copts;
  copts.env = s.services->env();
  copts.stdoutPath = dir + "/compositor.out";
  copts.stderrPath = dir + "/compositor.err";
  // --sc-fps=0 draws one frame and then only on change: a static screen.
  s.compositor = swtest::Process::Spawn(
      {swtest::FakeCompositorBinary(), "--sc-width=" + std::to_string(kWidth),
       "--sc-height=" + std::to_string(kHeight),
       "--sc-fps=" + std::to_string(idle ? 0 : kFps), "--eis-events=" + s.events},
      copts);
  if (!s.compositor ||
      !swtest::WaitFor([&] { return s.compositor->Stdout().find("ready") != std::string::npos; },
                       20000)) {
    s.failure = "fake compositor did not start";
    return false;
  }
  s.parent = std::make_unique<swparent::Parent>(swtest::UniqueCardName());
  if (!s.parent->Listen() ||
      !s.parent->WriteSessionFiles(s.services->Get("DBUS_SESSION_BUS_ADDRESS"),
                                   s.services->Get("XDG_RUNTIME_DIR"), getuid())) {
    s.failure = "parent set-up failed";
    return false;
  }
  // The agent's log goes to the session's folder, not the user's home.
  const std::string home = dir + "/home";
  std::error_code ignored;
  std::filesystem::create_directories(home + "/.velmora", ignored);
  swtest::WriteFile(home + "/.velmora/config",
                    "sightwell.log.fileName = \"" + dir + "/agent.log\"\n");
  swtest::Process::Options aopts;
  aopts.env = s.services->env();
  aopts.env["QUILLWORKER_CARD"] = s.parent->card();
  aopts.env["HOME"] = home;
  aopts.unsetEnv = {"PIPEWIRE_REMOTE", "REMOTE_SESSION_WORKFLOW"};
  aopts.stdoutPath = dir + "/agent.out";
  aopts.stderrPath = dir + "/agent.err";
  s.agent = swtest::Process::Spawn({swtest::AgentBinary()}, aopts);
  if (!s.agent || s.parent->WaitForControl(20000) == 0 || !s.parent->WaitForAudio(20000)) {
    s.failure = "agent did not connect";
    return false;
  }
  if (!s.parent->SendCaptureStart("Meta-0") || !s.parent->SendAudioStart()) {
    s.failure = "commands could not be sent";
    return false;
  }
  auto echo = s.parent->WaitControlRecord(REMOTE_CAPTURE_START, 20000);
  auto audio = s.parent->WaitAudioRecord(REMOTE_AUDIO_START, 20000);
  if (!echo || echo->status != CHANNEL_STATUS_SUCCESS || !audio ||
      audio->status != CHANNEL_STATUS_SUCCESS) {
    s.failure = "capture or audio start failed";
    return false;
  }
  return true;
}

// Waits until a session captures, delivers audio and has its pointer ready.
// A static screen's one frame may be drawn before the agent's stream is
// linked and then never comes, so there a negotiated format is enough.
bool WaitReady(Session &s, bool idle) {
  const bool ready = swtest::WaitFor(
      [&] {
        if (swbench::Interrupted()) {
          return true;
        }
        const swparent::Summary now = s.parent->GetSummary();
        const bool capturing =
            idle ? swtest::ReadFile(s.dir + "/agent.log").find("on_param_changed[") !=
                       std::string::npos
                 : now.frames >= 1;
        return capturing && now.audioBlocks >= 1 &&
               swtest::ReadFile(s.events).find("start-emulating fake absolute pointer") !=
                   std::string::npos;
      },
      30000);
  if (!ready || swbench::Interrupted()) {
    s.failure = swbench::Interrupted() ? "interrupted" : "no capture, audio or pointer in 30 s";
    return false;
  }
  return true;
}

void Stop(Session &s) {
  if (s.agent) {
    if (s.parent) {
      s.parent->SendStop();
    }
    if (!s.agent->Wait(10000)) {
      s.agent->Signal(SIGKILL);
      s.agent->Wait(2000);
    }
    if (s.parent) {
      s.parent->EndAudio(2000);
    }
  }
  if (s.compositor) {
    s.compositor->Signal(SIGTERM);
    if (!s.compositor->Wait(5000)) {
      s.compositor->Signal(SIGKILL);
      s.compositor->Wait(2000);
    }
  }
  s.agent.reset();
  s.compositor.reset();
  s.parent.reset();
  s.services.reset();
}

struct Row {
  size_t sessions = 0;
  bool idle = false;
  std::string failure;
  double fps = 0;           // per session, mean
  double msPerFrame = 0;    // agent CPU per delivered frame, mean
  double corePct = 0;       // agent CPU as a share of one core, mean
  double corePctMax = 0;
  double privateMiB = 0;    // mean
  double privateMiBMax = 0;
  uint64_t skipped = 0;     // summed over the sessions
  uint64_t produced = 0;
  size_t inputSent = 0;
  size_t inputReceived = 0;
  size_t inputReordered = 0;
  double audioPct = 0;      // audio received against the window, lowest session
  uint64_t audioGaps = 0;
  double load = 0;
};

Row RunRow(const std::string &root, size_t n, bool idle, int seconds) {
  Row row;
  row.sessions = n;
  row.idle = idle;
  std::vector<Session> sessions(n);
  const std::string base = root + "/" + std::to_string(n) + (idle ? "-idle" : "-streaming");
  std::error_code ignored;
  std::filesystem::create_directories(base, ignored);
  for (size_t i = 0; i < n && row.failure.empty() && !swbench::Interrupted(); i++) {
    const std::string dir = base + "/" + std::to_string(i + 1);
    std::filesystem::create_directories(dir, ignored);
    if (!Start(sessions[i], dir, idle)) {
      row.failure = "session " + std::to_string(i + 1) + ": " + sessions[i].failure;
    }
  }
  for (size_t i = 0; i < n && row.failure.empty() && !swbench::Interrupted(); i++) {
    if (!WaitReady(sessions[i], idle)) {
      row.failure = "session " + std::to_string(i + 1) + ": " + sessions[i].failure;
    }
  }
  if (row.failure.empty() && !swbench::Interrupted()) {
    swbench::Pause(2000);  // warm-up: buffers mapped, every session settled
    for (Session &s : sessions) {
      s.before = s.parent->GetSummary();
      s.cpu0 = swbench::ProcessCpuSeconds(s.agent->pid());
      s.threads0 = swbench::ThreadTimes(s.agent->pid());
    }
    const auto begin = std::chrono::steady_clock::now();
    const auto end = begin + std::chrono::seconds(seconds);
    // The trickle of input: every session gets a pointer record in turn,
    // each to the next position, so loss and reordering show at the EIS server.
    const auto step = std::chrono::microseconds(1000000 / kInputPerSecond);
    auto due = begin;
    while (!swbench::Interrupted() && std::chrono::steady_clock::now() < end) {
      for (Session &s : sessions) {
        if (s.parent->SendMouse(s.inputSent % 1000, s.inputSent / 1000, 0, 0, 0)) {
          s.inputSent++;
        }
      }
      due += step;
      std::this_thread::sleep_until(due);
    }
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    for (Session &s : sessions) {
      s.after = s.parent->GetSummary();
      const auto threads1 = swbench::ThreadTimes(s.agent->pid());
      uint64_t ns = 0;
      for (const auto &entry : swbench::ThreadDelta(s.threads0, threads1)) {
        ns += entry.second;
      }
      // Nanosecond counters of the live threads, or the process's clock
      // ticks when they show clearly more (threads that ended meanwhile).
      const double ticks = swbench::ProcessCpuSeconds(s.agent->pid()) - s.cpu0;
      s.cpuSeconds = std::max(static_cast<double>(ns) / 1e9, ticks - 0.02);
      s.privateKiB = swbench::PrivateKiB(s.agent->pid());
      if (!s.agent->Running()) {
        row.failure = "an agent ended during the window (see " + s.dir + ")";
      }
    }
    row.load = swbench::LoadAverage1();
    // Input still under way arrives within a moment.
    for (Session &s : sessions) {
      swtest::WaitFor(
          [&] {
            CountPointerEvents(s.events, &s.inputReceived, &s.inputReordered);
            return s.inputReceived >= static_cast<size_t>(s.inputSent);
          },
          5000);
    }
    double audioPct = 100;
    for (Session &s : sessions) {
      const uint64_t frames = s.after.frames - s.before.frames;
      const uint64_t skipped = s.after.frameCounterGaps - s.before.frameCounterGaps;
      row.fps += static_cast<double>(frames) / wall / static_cast<double>(n);
      if (frames > 0) {
        row.msPerFrame += s.cpuSeconds * 1e3 / static_cast<double>(frames) / static_cast<double>(n);
      }
      const double pct = s.cpuSeconds / wall * 100;
      row.corePct += pct / static_cast<double>(n);
      row.corePctMax = std::max(row.corePctMax, pct);
      row.privateMiB += static_cast<double>(s.privateKiB) / 1024 / static_cast<double>(n);
      row.privateMiBMax = std::max(row.privateMiBMax, static_cast<double>(s.privateKiB) / 1024);
      row.skipped += skipped;
      row.produced += frames + skipped;
      row.inputSent += static_cast<size_t>(s.inputSent);
      row.inputReceived += s.inputReceived;
      row.inputReordered += s.inputReordered;
      const double audioSeconds =
          static_cast<double>(s.after.audioBytes - s.before.audioBytes) / (48000.0 * 4.0);
      audioPct = std::min(audioPct, audioSeconds / wall * 100);
      row.audioGaps += s.after.audioGaps - s.before.audioGaps;
      if (!row.failure.empty()) {
        continue;
      }
      if (frames == 0 && !idle) {
        row.failure = "no frames in the window (see " + s.dir + ")";
      } else if (s.after.malformed > 0) {
        row.failure = "malformed record: " + s.after.firstMalformed + " (see " + s.dir + ")";
      } else if (s.after.frameOrderErrors != s.before.frameOrderErrors) {
        row.failure = "frames out of order (see " + s.dir + ")";
      } else if (s.inputReceived != static_cast<size_t>(s.inputSent) || s.inputReordered > 0) {
        row.failure = "input lost or reordered (see " + s.dir + ")";
      }
    }
    row.audioPct = audioPct;
  }
  if (swbench::Interrupted() && row.failure.empty()) {
    row.failure = "interrupted";
  }
  // Sessions end one by one, each agent through its parent's stop.
  for (Session &s : sessions) {
    Stop(s);
  }
  if (row.failure.empty()) {
    std::filesystem::remove_all(base, ignored);
  }
  return row;
}

void PrintRow(const Row &r) {
  if (!r.failure.empty()) {
    printf("%3zu %-9s FAILED: %s\n", r.sessions, r.idle ? "idle" : "streaming",
           r.failure.c_str());
    fflush(stdout);
    return;
  }
  char skipped[32];
  char input[32];
  char perFrame[16] = "-";  // an idle screen delivers (almost) no frames
  if (!r.idle) {
    snprintf(perFrame, sizeof perFrame, "%.2f", r.msPerFrame);
  }
  snprintf(skipped, sizeof skipped, "%llu/%llu", static_cast<unsigned long long>(r.skipped),
           static_cast<unsigned long long>(r.produced));
  snprintf(input, sizeof input, "%zu/%zu", r.inputReceived, r.inputSent);
  printf("%3zu %-9s %6.1f %9s %6.2f/%-6.2f %6.1f/%-6.1f %14s %13s %6.1f%% %5llu %5.2f\n",
         r.sessions, r.idle ? "idle" : "streaming", r.fps, perFrame, r.corePct,
         r.corePctMax, r.privateMiB, r.privateMiBMax, skipped, input, r.audioPct,
         static_cast<unsigned long long>(r.audioGaps), r.load);
  fflush(stdout);
}

bool ParseSessions(const char *text, std::vector<size_t> *out) {
  out->clear();
  std::istringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    const int n = atoi(item.c_str());
    if (n < 1 || n > 64) {
      return false;
    }
    out->push_back(static_cast<size_t>(n));
  }
  return !out->empty();
}

}  // namespace

int main(int argc, char **argv) {
  bool smoke = false;
  int seconds = 10;
  std::vector<size_t> counts = {1, 4, 8, 16};
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "--smoke") == 0) {
      smoke = true;
    } else if (strncmp(argv[i], "--seconds=", 10) == 0 && atoi(argv[i] + 10) > 0) {
      seconds = atoi(argv[i] + 10);
    } else if (strncmp(argv[i], "--sessions=", 11) == 0 && ParseSessions(argv[i] + 11, &counts)) {
    } else {
      fprintf(stderr, "usage: density [--smoke] [--seconds=N] [--sessions=N,N,...]\n");
      return 2;
    }
  }
  if (smoke) {
    counts = {2};
    seconds = 3;
  }

  swbench::CatchInterrupts();

  const std::string dir = swtest::MakeTempDir("sw-density-bench");
  printf("density: N sessions, each with its own services, fake compositor %ux%u (%u fps "
         "streaming, static when idle), agent with audio and %d pointer records/s, and "
         "reference parent; %d s window; %ld cores; load average %.2f at the start "
         "(logs in %s, kept after a failure)\n",
         kWidth, kHeight, kFps, kInputPerSecond, seconds, sysconf(_SC_NPROCESSORS_ONLN),
         swbench::LoadAverage1(), dir.c_str());
  printf("design's buffers at %ux%u: %.1f MiB\n\n", kWidth, kHeight,
         swbench::DesignBufferKiB(kWidth, kHeight, false) / 1024.0);
  printf("%3s %-9s %6s %9s %13s %13s %14s %13s %7s %5s %5s\n", "N", "screens", "fps",
         "ms/frame", "%core avg/max", "MiB avg/max", "skipped/drawn", "input rcvd", "audio",
         "gaps", "load");
  fflush(stdout);
  bool failed = false;
  // The capacity line comes from the most sessions that ran both ways.
  Row streaming;
  Row idleRow;
  for (size_t n : counts) {
    Row pair[2];
    for (bool idle : {false, true}) {
      if (swbench::Interrupted()) {
        break;
      }
      pair[idle] = RunRow(dir, n, idle, seconds);
      PrintRow(pair[idle]);
      failed = failed || !pair[idle].failure.empty();
    }
    if (pair[0].sessions == n && pair[1].sessions == n && pair[0].failure.empty() &&
        pair[1].failure.empty() && n >= streaming.sessions) {
      streaming = pair[0];
      idleRow = pair[1];
    }
  }
  printf("\nms/frame: agent CPU per delivered frame; %%core: agent CPU over the window as a share "
         "of one core; MiB: the agent's private memory; audio: the lowest session's audio "
         "received against the window\n");
  if (streaming.sessions > 0) {
    printf("capacity (N = %zu): per session %.1f %% of a core streaming, %.1f %% idle, "
           "%.0f MiB private (%.0f idle)\n",
           streaming.sessions, streaming.corePct, idleRow.corePct, streaming.privateMiBMax,
           idleRow.privateMiBMax);
  }
  failed = failed || swbench::Interrupted();
  if (!failed) {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }
  return failed ? 1 : 0;
}
