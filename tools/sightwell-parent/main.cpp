// sightwell-parent: the reference parent on the command line. It listens
// for one card, optionally starts the agent, drives a capture session and
// reports what arrived.
#include <getopt.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tools/sightwell-parent/image_writer.h"
#include "tools/sightwell-parent/parent.h"
#include "tools/sightwell-parent/wav_writer.h"

using namespace swparent;

namespace {

struct Options {
  std::string card;
  std::string agent;
  bool greeter = false;
  std::string dbusAddress;
  std::string xdgRuntime;
  long uid = -1;
  std::string connector;
  bool audio = false;
  double seconds = 5;
  int inputEvents = 0;
  std::string inputLog;
  std::string out;
  PixelLayout layout = PixelLayout::BGRx;
  bool progress = false;
  int stopTimeoutMs = 10000;
};

void Usage() {
  fprintf(stderr,
          "usage: sightwell-parent --card NAME [--agent PATH [--greeter]]\n"
          "         [--dbus-address ADDR --xdg-runtime DIR --uid N] [--connector NAME]\n"
          "         [--audio] [--seconds S] [--input-events N] [--input-log FILE]\n"
          "         [--out DIR] [--format bgrx|rgbx|bgra|rgba] [--progress]\n"
          "         [--stop-timeout MS]\n");
}

bool ParseOptions(int argc, char **argv, Options *o) {
  static const option longOptions[] = {
      {"card", required_argument, nullptr, 'c'},       {"agent", required_argument, nullptr, 'a'},
      {"greeter", no_argument, nullptr, 'g'},          {"dbus-address", required_argument, nullptr, 'd'},
      {"xdg-runtime", required_argument, nullptr, 'x'}, {"uid", required_argument, nullptr, 'u'},
      {"connector", required_argument, nullptr, 'n'},  {"audio", no_argument, nullptr, 'A'},
      {"seconds", required_argument, nullptr, 's'},    {"input-events", required_argument, nullptr, 'i'},
      {"input-log", required_argument, nullptr, 'I'},  {"out", required_argument, nullptr, 'o'},
      {"format", required_argument, nullptr, 'f'},     {"progress", no_argument, nullptr, 'p'},
      {"stop-timeout", required_argument, nullptr, 't'}, {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0}};
  int c;
  while ((c = getopt_long(argc, argv, "", longOptions, nullptr)) != -1) {
    switch (c) {
      case 'c': o->card = optarg; break;
      case 'a': o->agent = optarg; break;
      case 'g': o->greeter = true; break;
      case 'd': o->dbusAddress = optarg; break;
      case 'x': o->xdgRuntime = optarg; break;
      case 'u': o->uid = strtol(optarg, nullptr, 10); break;
      case 'n': o->connector = optarg; break;
      case 'A': o->audio = true; break;
      case 's': o->seconds = strtod(optarg, nullptr); break;
      case 'i': o->inputEvents = atoi(optarg); break;
      case 'I': o->inputLog = optarg; break;
      case 'o': o->out = optarg; break;
      case 'f':
        if (!ParsePixelLayout(optarg, &o->layout)) {
          fprintf(stderr, "sightwell-parent: unknown pixel format %s\n", optarg);
          return false;
        }
        break;
      case 'p': o->progress = true; break;
      case 't': o->stopTimeoutMs = atoi(optarg); break;
      default: return false;
    }
  }
  if (o->card.empty() || o->card.size() > 6) {
    fprintf(stderr, "sightwell-parent: --card NAME of 1 to 6 characters is required\n");
    return false;
  }
  return true;
}

struct AgentProcess {
  pid_t pid = -1;
  int status = -1;  // exit status, or 128 + signal
  rusage usage{};
  bool exited = false;
};

bool StartAgent(const Options &o, AgentProcess *agent) {
  pid_t pid = fork();
  if (pid < 0) {
    return false;
  }
  if (pid == 0) {
    setenv("QUILLWORKER_CARD", o.card.c_str(), 1);
    if (o.greeter) {
      setenv("REMOTE_SESSION_WORKFLOW", "greeter", 1);
    } else {
      unsetenv("REMOTE_SESSION_WORKFLOW");
    }
    execl(o.agent.c_str(), o.agent.c_str(), static_cast<char *>(nullptr));
    fprintf(stderr, "sightwell-parent: cannot run %s: %s\n", o.agent.c_str(), strerror(errno));
    _exit(127);
  }
  agent->pid = pid;
  return true;
}

bool WaitAgent(AgentProcess *agent, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!agent->exited) {
    int status;
    pid_t r = wait4(agent->pid, &status, WNOHANG, &agent->usage);
    if (r == agent->pid) {
      agent->exited = true;
      agent->status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// Sends the i-th scripted input event: key presses and releases of the
// letters a..l interleaved with pointer moves along a diagonal.
void SendScriptedInput(Parent &parent, int i, FILE *log) {
  static const uint16_t keys[] = {0x1e, 0x30, 0x2e, 0x20, 0x12, 0x21, 0x22, 0x23, 0x17, 0x24, 0x25, 0x26};
  uint64_t ns = MonotonicNs();
  if (i % 3 == 2) {
    int32_t x = 10 + (i * 7) % 600;
    int32_t y = 10 + (i * 5) % 400;
    parent.SendMouse(x, y, 0, 0, 0);
    if (log != nullptr) {
      fprintf(log, "%llu motion %d %d\n", static_cast<unsigned long long>(ns), x, y);
    }
  } else {
    uint16_t key = keys[(i / 3) % 12];
    bool pressed = i % 3 == 0;
    parent.SendKey(key, pressed);
    if (log != nullptr) {
      fprintf(log, "%llu key %u %d\n", static_cast<unsigned long long>(ns), key, pressed ? 1 : 0);
    }
  }
}

// A bar chart of frames, audio blocks and input events per second.
bool WriteTimeline(const std::string &path, const Summary &s) {
  uint32_t seconds = s.timeline.empty() ? 1 : s.timeline.rbegin()->first + 1;
  const uint32_t barW = 8, groupW = 32, h = 240, w = seconds * groupW + 16;
  uint32_t maxValue = 1;
  for (const auto &[sec, b] : s.timeline) {
    maxValue = std::max({maxValue, b.frames, b.audioBlocks, b.inputEvents});
  }
  std::vector<uint8_t> pixels(static_cast<size_t>(w) * h * 4, 255);
  auto bar = [&](uint32_t x0, uint32_t value, uint8_t r, uint8_t g, uint8_t b) {
    uint32_t bh = static_cast<uint32_t>(static_cast<double>(value) / maxValue * (h - 20));
    for (uint32_t y = h - 10 - bh; y < h - 10; y++) {
      for (uint32_t x = x0; x < x0 + barW && x < w; x++) {
        uint8_t *p = &pixels[(static_cast<size_t>(y) * w + x) * 4];
        p[0] = r; p[1] = g; p[2] = b; p[3] = 255;
      }
    }
  };
  for (uint32_t x = 0; x < w; x++) {  // base line
    uint8_t *p = &pixels[(static_cast<size_t>(h - 10) * w + x) * 4];
    p[0] = p[1] = p[2] = 0;
  }
  for (const auto &[sec, b] : s.timeline) {
    uint32_t x0 = 8 + sec * groupW;
    bar(x0, b.frames, 40, 90, 200);
    bar(x0 + barW, b.audioBlocks, 40, 170, 60);
    bar(x0 + 2 * barW, b.inputEvents, 210, 90, 30);
  }
  std::string error;
  return WritePng(path, pixels, w, h, PixelLayout::RGBA, &error);
}

}  // namespace

int main(int argc, char **argv) {
  Options o;
  if (!ParseOptions(argc, argv, &o)) {
    Usage();
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  Parent parent(o.card);
  WavWriter wav;
  if (!o.out.empty()) {
    mkdir(o.out.c_str(), 0755);
    if (o.audio && !wav.Open(o.out + "/audio.wav", 48000, 2, 16)) {
      fprintf(stderr, "sightwell-parent: cannot write %s/audio.wav\n", o.out.c_str());
      return 1;
    }
    parent.OnAudio([&wav](const AudioBlock &b) { wav.Append(b.samples); });
  }
  if (!parent.Listen()) {
    fprintf(stderr, "sightwell-parent: cannot listen on %s: %s\n", parent.SocketPath().c_str(),
            strerror(errno));
    return 1;
  }
  if (!o.dbusAddress.empty() &&
      !parent.WriteSessionFiles(o.dbusAddress, o.xdgRuntime,
                                static_cast<uid_t>(o.uid >= 0 ? o.uid : getuid()))) {
    fprintf(stderr, "sightwell-parent: cannot write the session files\n");
    return 1;
  }
  AgentProcess agent;
  if (!o.agent.empty() && !StartAgent(o, &agent)) {
    fprintf(stderr, "sightwell-parent: cannot start the agent\n");
    return 1;
  }
  bool ok = true;
  uint32_t greeting = parent.WaitForControl(10000);
  printf("greeting: %s\n", greeting == REMOTE_INFO_GREETER ? "greeter"
                           : greeting == REMOTE_INFO_USER  ? "user"
                                                           : "none");
  if (greeting == 0) {
    ok = false;
  }
  if (ok && !o.connector.empty()) {
    parent.SendCaptureStart(o.connector);
    auto echo = parent.WaitControlRecord(REMOTE_CAPTURE_START, 5000);
    if (echo && echo->status == CHANNEL_STATUS_SUCCESS) {
      printf("capture started on %s\n", o.connector.c_str());
    } else {
      auto error = parent.WaitControlRecord(REMOTE_ERROR, 100);
      printf("capture start failed: %s (code %d)\n", error ? error->errorText : "no reply",
             error ? error->errorCode : 0);
      ok = false;
    }
  }
  if (ok && o.audio) {
    if (!parent.WaitForAudio(5000)) {
      printf("audio: no audio connection\n");
      ok = false;
    } else {
      parent.SendAudioStart();
      auto reply = parent.WaitAudioRecord(REMOTE_AUDIO_START, 10000);
      printf("audio start: status %u\n", reply ? reply->status : 0);
      ok = ok && reply && reply->status == CHANNEL_STATUS_SUCCESS;
    }
  }
  FILE *inputLog = o.inputLog.empty() ? nullptr : fopen(o.inputLog.c_str(), "w");
  if (ok) {
    auto start = std::chrono::steady_clock::now();
    auto end = start + std::chrono::milliseconds(static_cast<int64_t>(o.seconds * 1000));
    int sent = 0;
    auto nextProgress = start;
    while (std::chrono::steady_clock::now() < end) {
      // Input goes out in the middle half of the run, evenly spread.
      double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      int due = o.inputEvents == 0 ? 0
                : t < o.seconds * 0.25 ? 0
                : std::min(o.inputEvents,
                           static_cast<int>((t - o.seconds * 0.25) / (o.seconds * 0.5) * o.inputEvents));
      while (sent < due) {
        SendScriptedInput(parent, sent++, inputLog);
      }
      if (o.progress && std::chrono::steady_clock::now() >= nextProgress) {
        nextProgress += std::chrono::milliseconds(250);
        Summary s = parent.GetSummary();
        fprintf(stderr, "\r%5.1fs  frames %llu (%.1f fps)  cursor %llu  audio %.1fs  input %llu  malformed %llu ",
                t, static_cast<unsigned long long>(s.frames), s.Fps(),
                static_cast<unsigned long long>(s.cursorUpdates), s.AudioSeconds(),
                static_cast<unsigned long long>(s.inputEventsSent),
                static_cast<unsigned long long>(s.malformed));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(o.inputEvents > 0 ? 2 : 100));
    }
    while (sent < o.inputEvents) {
      SendScriptedInput(parent, sent++, inputLog);
    }
    if (o.progress) {
      fprintf(stderr, "\n");
    }
  }
  if (inputLog != nullptr) {
    fclose(inputLog);
  }
  if (greeting != 0) {
    parent.SendStop();
  }
  if (agent.pid > 0) {
    if (!WaitAgent(&agent, o.stopTimeoutMs)) {
      fprintf(stderr, "sightwell-parent: the agent did not exit; killing it\n");
      kill(agent.pid, SIGKILL);
      WaitAgent(&agent, 5000);
      ok = false;
    }
  }
  Summary s = parent.GetSummary();
  if (!o.connector.empty() && s.frames == 0) {
    ok = false;
  }
  if (o.audio && s.audioBlocks == 0) {
    ok = false;
  }
  if (s.malformed != 0 || (agent.pid > 0 && agent.status != 0)) {
    ok = false;
  }
  wav.Close();

  std::string summary;
  char line[512];
  auto add = [&](const char *fmt, auto... args) {
    snprintf(line, sizeof line, fmt, args...);
    summary += line;
  };
  add("frames: %llu\n", static_cast<unsigned long long>(s.frames));
  add("fps: %.1f\n", s.Fps());
  add("frame latency ms: p50 %.2f p99 %.2f (%zu stamped)\n", Percentile(s.frameLatencyMs, 50),
      Percentile(s.frameLatencyMs, 99), s.frameLatencyMs.size());
  add("frames skipped by the agent: %llu\n", static_cast<unsigned long long>(s.frameCounterGaps));
  add("frames out of order: %llu\n", static_cast<unsigned long long>(s.frameOrderErrors));
  add("empty frame records: %llu\n", static_cast<unsigned long long>(s.emptyFrames));
  add("cursor updates: %llu (%llu with bitmap)\n", static_cast<unsigned long long>(s.cursorUpdates),
      static_cast<unsigned long long>(s.cursorBitmaps));
  add("audio: %.2f s in %llu blocks, %llu gaps\n", s.AudioSeconds(),
      static_cast<unsigned long long>(s.audioBlocks), static_cast<unsigned long long>(s.audioGaps));
  add("input events sent: %llu\n", static_cast<unsigned long long>(s.inputEventsSent));
  add("logouts: %llu, errors: %llu\n", static_cast<unsigned long long>(s.logouts),
      static_cast<unsigned long long>(s.errors));
  add("malformed: %llu%s%s\n", static_cast<unsigned long long>(s.malformed),
      s.malformed ? " first: " : "", s.firstMalformed.c_str());
  if (agent.pid > 0) {
    double cpu = static_cast<double>(agent.usage.ru_utime.tv_sec + agent.usage.ru_stime.tv_sec) +
                 static_cast<double>(agent.usage.ru_utime.tv_usec + agent.usage.ru_stime.tv_usec) / 1e6;
    add("agent exit status: %d\n", agent.status);
    add("agent cpu: %.2f s, peak memory: %ld KiB\n", cpu, agent.usage.ru_maxrss);
  }
  add("result: %s\n", ok ? "ok" : "FAILED");
  fputs(summary.c_str(), stdout);

  if (!o.out.empty()) {
    std::string error;
    if (auto frame = parent.LastFrame(); frame && frame->width > 0) {
      WritePng(o.out + "/frame.png", frame->pixels, frame->width, frame->height, o.layout, &error);
    }
    if (auto cursor = parent.LastCursorWithBitmap()) {
      WritePng(o.out + "/cursor.png", cursor->bitmap, cursor->record.cursorWidth,
               cursor->record.cursorHeight, PixelLayout::BGRA, &error);
    }
    WriteTimeline(o.out + "/timeline.png", s);
    if (FILE *f = fopen((o.out + "/summary.txt").c_str(), "w")) {
      fputs(summary.c_str(), f);
      fclose(f);
    }
  }
  return ok ? 0 : 1;
}
