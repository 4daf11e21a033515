// sightwell-parent: the reference parent on the command line. It listens
// for one card, optionally starts the agent, drives a capture session and
// reports what arrived.
#include <getopt.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tools/sightwell-parent/agent_process.h"
#include "tools/sightwell-parent/check.h"
#include "tools/sightwell-parent/image_writer.h"
#include "tools/sightwell-parent/parent.h"
#include "tools/sightwell-parent/report.h"
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
  std::string eisEvents;
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
          "         [--eis-events FILE] [--out DIR] [--format bgrx|rgbx|bgra|rgba]\n"
          "         [--progress] [--stop-timeout MS]\n"
          "       sightwell-parent check --help   (a host check against a live session)\n");
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
      {"eis-events", required_argument, nullptr, 'E'},
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
      case 'E': o->eisEvents = optarg; break;
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

// An input event as sent, or as the compositor's EIS side recorded it.
struct InputEvent {
  uint64_t ns;
  bool key;
  double a, b;  // key: code, pressed; motion: x, y
  bool operator==(const InputEvent &o) const { return key == o.key && a == o.a && b == o.b; }
};

// Sends the i-th scripted input event: key presses and releases of the
// letters a..l interleaved with pointer moves along a diagonal.
void SendScriptedInput(Parent &parent, int i, FILE *log, std::vector<InputEvent> *sent) {
  static const uint16_t keys[] = {0x1e, 0x30, 0x2e, 0x20, 0x12, 0x21, 0x22, 0x23, 0x17, 0x24, 0x25, 0x26};
  uint64_t ns = MonotonicNs();
  if (i % 3 == 2) {
    int32_t x = 10 + (i * 7) % 600;
    int32_t y = 10 + (i * 5) % 400;
    parent.SendMouse(x, y, 0, 0, 0);
    sent->push_back({ns, false, static_cast<double>(x), static_cast<double>(y)});
    if (log != nullptr) {
      fprintf(log, "%llu motion %d %d\n", static_cast<unsigned long long>(ns), x, y);
    }
  } else {
    uint16_t key = keys[(i / 3) % 12];
    bool pressed = i % 3 == 0;
    parent.SendKey(key, pressed);
    sent->push_back({ns, true, static_cast<double>(key), pressed ? 1.0 : 0.0});
    if (log != nullptr) {
      fprintf(log, "%llu key %u %d\n", static_cast<unsigned long long>(ns), key, pressed ? 1 : 0);
    }
  }
}

// Reads the key presses and absolute pointer moves the fake compositor's
// EIS server recorded ("NS key CODE PRESSED", "NS abs X Y" lines).
std::vector<InputEvent> ReadEisEvents(const std::string &path) {
  std::vector<InputEvent> events;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    InputEvent e{};
    std::string kind;
    if (fields >> e.ns >> kind >> e.a >> e.b && (kind == "key" || kind == "abs")) {
      e.key = kind == "key";
      events.push_back(e);
    }
  }
  return events;
}

// Matches what was sent against what the compositor received, in order,
// and adds the result and the latencies to the summary. False when an
// event was lost, reordered or changed. The agent has stopped when this
// runs, but the compositor may still be writing its last events.
bool CheckInput(const std::string &eisEvents, const std::vector<InputEvent> &sent,
                SummaryLines *lines, std::vector<double> *latencyMs) {
  std::vector<InputEvent> got;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  do {
    got = ReadEisEvents(eisEvents);
    if (got.size() >= sent.size()) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  } while (std::chrono::steady_clock::now() < deadline);
  size_t matched = 0;
  while (matched < sent.size() && matched < got.size() && sent[matched] == got[matched]) {
    if (got[matched].ns >= sent[matched].ns) {  // one clock, but never wrap a stray stamp
      latencyMs->push_back(static_cast<double>(got[matched].ns - sent[matched].ns) / 1e6);
    }
    matched++;
  }
  char text[160];
  snprintf(text, sizeof text, "%zu of %zu sent, %zu in order", got.size(), sent.size(), matched);
  lines->push_back({"input events received", text});
  double maxMs = latencyMs->empty() ? 0 : *std::max_element(latencyMs->begin(), latencyMs->end());
  snprintf(text, sizeof text, "p50 %.2f p99 %.2f max %.2f", Percentile(*latencyMs, 50),
           Percentile(*latencyMs, 99), maxMs);
  lines->push_back({"input latency ms", text});
  return !sent.empty() && matched == sent.size() && got.size() == sent.size();
}

// One run of the parent: what it set up, what it sent and how it went.
struct Run {
  explicit Run(const Options &options) : o(options), parent(options.card) {}

  const Options &o;
  Parent parent;
  WavWriter wav;
  AgentProcess agent;
  uint32_t greeting = 0;  // the agent's first record type, 0 when none came
  std::vector<InputEvent> sentInput;
  bool ok = true;
};

// Listens on the card's socket, writes the session files and starts the
// agent, as far as the options ask. False after saying why on stderr.
bool SetUp(Run &run) {
  const Options &o = run.o;
  if (!o.out.empty()) {
    mkdir(o.out.c_str(), 0755);
    if (o.audio && !run.wav.Open(o.out + "/audio.wav", 48000, 2, 16)) {
      fprintf(stderr, "sightwell-parent: cannot write %s/audio.wav\n", o.out.c_str());
      return false;
    }
    run.parent.OnAudio([&run](const AudioBlock &b) { run.wav.Append(b.samples); });
  }
  if (!run.parent.Listen()) {
    fprintf(stderr, "sightwell-parent: cannot listen on %s: %s\n",
            run.parent.SocketPath().c_str(), strerror(errno));
    return false;
  }
  if (!o.dbusAddress.empty() &&
      !run.parent.WriteSessionFiles(o.dbusAddress, o.xdgRuntime,
                                    static_cast<uid_t>(o.uid >= 0 ? o.uid : getuid()))) {
    fprintf(stderr, "sightwell-parent: cannot write the session files\n");
    return false;
  }
  if (!o.agent.empty() && StartAgent(o.agent, o.card, o.greeter, {}, &run.agent) != 0) {
    fprintf(stderr, "sightwell-parent: cannot start the agent\n");
    return false;
  }
  return true;
}

// Waits for the greeting, then starts capture and audio as asked.
void StartSession(Run &run) {
  const Options &o = run.o;
  run.greeting = run.parent.WaitForControl(10000);
  printf("greeting: %s\n", run.greeting == REMOTE_INFO_GREETER ? "greeter"
                           : run.greeting == REMOTE_INFO_USER  ? "user"
                                                               : "none");
  if (run.greeting == 0) {
    run.ok = false;
  }
  if (run.ok && !o.connector.empty()) {
    run.parent.SendCaptureStart(o.connector);
    auto echo = run.parent.WaitControlRecord(REMOTE_CAPTURE_START, 5000);
    if (echo && echo->status == CHANNEL_STATUS_SUCCESS) {
      printf("capture started on %s\n", o.connector.c_str());
    } else {
      auto error = run.parent.WaitControlRecord(REMOTE_ERROR, 100);
      printf("capture start failed: %s (code %d)\n", error ? error->errorText : "no reply",
             error ? error->errorCode : 0);
      run.ok = false;
    }
  }
  if (run.ok && o.audio) {
    if (!run.parent.WaitForAudio(5000)) {
      printf("audio: no audio connection\n");
      run.ok = false;
    } else {
      run.parent.SendAudioStart();
      auto reply = run.parent.WaitAudioRecord(REMOTE_AUDIO_START, 10000);
      printf("audio start: status %u\n", reply ? reply->status : 0);
      run.ok = run.ok && reply && reply->status == CHANNEL_STATUS_SUCCESS;
    }
  }
}

// The timed part of the run: input goes out in its middle half, evenly
// spread, and the progress line is refreshed every 250 ms.
void DriveSession(Run &run, FILE *inputLog) {
  const Options &o = run.o;
  auto start = std::chrono::steady_clock::now();
  auto end = start + std::chrono::milliseconds(static_cast<int64_t>(o.seconds * 1000));
  int sent = 0;
  auto nextProgress = start;
  while (std::chrono::steady_clock::now() < end) {
    double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    int due = o.inputEvents == 0 ? 0
              : t < o.seconds * 0.25 ? 0
              : std::min(o.inputEvents,
                         static_cast<int>((t - o.seconds * 0.25) / (o.seconds * 0.5) * o.inputEvents));
    while (sent < due) {
      SendScriptedInput(run.parent, sent++, inputLog, &run.sentInput);
    }
    if (o.progress && std::chrono::steady_clock::now() >= nextProgress) {
      nextProgress += std::chrono::milliseconds(250);
      Summary s = run.parent.GetSummary();
      fprintf(stderr, "\r%5.1fs  frames %llu (%.1f fps)  cursor %llu  audio %.1fs  input %llu  malformed %llu ",
              t, static_cast<unsigned long long>(s.frames), s.Fps(),
              static_cast<unsigned long long>(s.cursorUpdates), s.AudioSeconds(),
              static_cast<unsigned long long>(s.inputEventsSent),
              static_cast<unsigned long long>(s.malformed));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(o.inputEvents > 0 ? 2 : 100));
  }
  while (sent < o.inputEvents) {
    SendScriptedInput(run.parent, sent++, inputLog, &run.sentInput);
  }
  if (o.progress) {
    fprintf(stderr, "\n");
  }
}

// Stops the agent and waits for it; the run fails when nothing that was
// asked for arrived, something arrived malformed, or the agent failed.
Summary StopSession(Run &run) {
  const Options &o = run.o;
  if (run.greeting != 0) {
    run.parent.SendStop();
  }
  if (run.agent.pid > 0) {
    if (!WaitOrKillAgent(&run.agent, o.stopTimeoutMs)) {
      run.ok = false;
    }
    run.parent.EndAudio(2000);  // the reader thread appends to the file until then
  }
  Summary s = run.parent.GetSummary();
  if (!o.connector.empty() && s.frames == 0) {
    run.ok = false;
  }
  if (o.audio && s.audioBlocks == 0) {
    run.ok = false;
  }
  if (s.malformed != 0 || (run.agent.pid > 0 && run.agent.status != 0)) {
    run.ok = false;
  }
  run.wav.Close();
  return s;
}

// Prints the summary and writes the artefacts; returns the exit status.
int Report(Run &run, Summary s) {
  const Options &o = run.o;
  ReportContent report;
  report.title = "Sightwell run, card " + o.card;
  AddReceivedLines(s, &report.lines);
  if (!o.eisEvents.empty() &&
      !CheckInput(o.eisEvents, run.sentInput, &report.lines, &report.inputLatencyMs)) {
    run.ok = false;
  }
  char line[160];
  if (run.agent.pid > 0) {
    const rusage &usage = run.agent.usage;
    double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                 static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    report.lines.push_back({"agent exit status", std::to_string(run.agent.status)});
    snprintf(line, sizeof line, "%.2f s, peak memory: %ld KiB", cpu, usage.ru_maxrss);
    report.lines.push_back({"agent cpu", line});
  }
  report.lines.push_back({"result", run.ok ? "ok" : "FAILED"});
  fputs(SummaryText(report.lines).c_str(), stdout);

  if (!o.out.empty()) {
    report.summary = std::move(s);
    std::string error;
    if (!WriteArtefacts(o.out, run.parent, o.layout, report, &error)) {
      fprintf(stderr, "sightwell-parent: %s\n", error.c_str());
      return 1;
    }
  }
  return run.ok ? 0 : 1;
}

// The default mode: play the parent for one session of the card.
int RunSession(int argc, char **argv) {
  Options o;
  if (!ParseOptions(argc, argv, &o)) {
    Usage();
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  Run run(o);
  if (!SetUp(run)) {
    return 1;
  }
  StartSession(run);
  FILE *inputLog = o.inputLog.empty() ? nullptr : fopen(o.inputLog.c_str(), "w");
  run.sentInput.reserve(static_cast<size_t>(std::max(0, o.inputEvents)));
  if (run.ok) {
    DriveSession(run, inputLog);
  }
  if (inputLog != nullptr) {
    fclose(inputLog);
  }
  Summary s = StopSession(run);
  return Report(run, std::move(s));
}

// The other modes, chosen by the first argument; anything else is a
// session run.
struct Subcommand {
  const char *name;
  int (*run)(int argc, char **argv);  // argv[0] is the subcommand's name
};
const Subcommand kSubcommands[] = {
    {"check", RunCheck},
};

}  // namespace

int main(int argc, char **argv) {
  if (argc > 1) {
    for (const Subcommand &sub : kSubcommands) {
      if (strcmp(argv[1], sub.name) == 0) {
        return sub.run(argc - 1, argv + 1);
      }
    }
  }
  return RunSession(argc, argv);
}
