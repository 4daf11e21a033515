// Input through the whole chain: the reference parent sends key and pointer
// records to the real agent, which injects them through the fake
// compositor's RemoteDesktop service and libeis server; the server's event
// record shows what arrived, in order and with its arrival time.
#include <dirent.h>
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/channel_message.h"
#include "tests/support/fake_control.h"
#include "tests/support/process.h"
#include "tests/support/test_env.h"
#include "tools/sightwell-parent/parent.h"

namespace {

using Texts = std::vector<std::string>;

constexpr int kStartMs = 10000;
constexpr int kArriveMs = 5000;
constexpr int kExitMs = 10000;

const char kSessionPrefix[] = "/org/gnome/Mutter/RemoteDesktop/Session/u";

struct RecordedEvent {
  uint64_t ns = 0;
  std::string text;  // "<kind> [args]"
};

std::string KindOf(const std::string &text) { return text.substr(0, text.find(' ')); }

bool IsInputKind(const std::string &kind) {
  return kind == "abs" || kind == "button" || kind == "scroll" || kind == "key" ||
         kind == "frame" || kind == "motion";
}

bool StartsWith(const std::string &s, const std::string &prefix) { return s.rfind(prefix, 0) == 0; }

long MsSince(std::chrono::steady_clock::time_point t) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - t)
                               .count());
}

// Private services, the fake compositor on them and the agent under the
// reference parent, with the agent's log in a private file.
class AgentInputRun {
 public:
  explicit AgentInputRun(std::vector<std::string> compositorOptions = {})
      : parent_(swtest::UniqueCardName()) {
    dir_ = swtest::MakeTempDir("sw-agent-input");
    eventsPath_ = dir_ + "/eis-events";
    logPath_ = dir_ + "/sightwell.log";
    mkdir((dir_ + "/.velmora").c_str(), 0755);
    swtest::WriteFile(dir_ + "/.velmora/config",
                      "sightwell.log.fileName = \"" + logPath_ + "\"\n");
    if (!services_.ok()) {
      ADD_FAILURE() << "services: " << services_.error();
      return;
    }
    // A small, slow screen: the capture side runs too but stays quiet.
    std::vector<std::string> argv = {swtest::FakeCompositorBinary(), "--eis-events=" + eventsPath_,
                                     "--sc-width=64", "--sc-height=48", "--sc-fps=2"};
    argv.insert(argv.end(), compositorOptions.begin(), compositorOptions.end());
    swtest::Process::Options options;
    options.env = services_.env();
    options.stdoutPath = dir_ + "/compositor.out";
    options.stderrPath = dir_ + "/compositor.err";
    compositor_ = swtest::Process::Spawn(argv, options);
    if (!compositor_ ||
        !swtest::WaitFor([&] { return compositor_->Stdout().find("ready") != std::string::npos; },
                         kStartMs)) {
      ADD_FAILURE() << "fake compositor not ready: "
                    << (compositor_ ? compositor_->Stderr() : std::string("not started"));
      return;
    }
    control_ = std::make_unique<swtest::FakeControl>(services_);
    ok_ = control_->ok() && parent_.Listen();
  }

  ~AgentInputRun() {
    if (agent_ && agent_->Running()) {
      agent_->Signal(SIGKILL);
      agent_->Wait(5000);
    }
    if (compositor_ && compositor_->Running()) {
      compositor_->Signal(SIGTERM);
      if (!compositor_->Wait(5000)) {
        compositor_->Signal(SIGKILL);
        compositor_->Wait(5000);
      }
    }
    if (!::testing::Test::HasFailure()) {
      std::system(("rm -rf '" + dir_ + "'").c_str());
    } else {
      fprintf(stderr, "agent input run kept in %s\n", dir_.c_str());
    }
  }

  bool ok() const { return ok_; }
  swparent::Parent &parent() { return parent_; }

  // Starts the agent, waits for its greeting and starts capture on the
  // services' session; true once the start was echoed.
  bool StartAgentAndCapture() {
    swtest::Process::Options options;
    options.env = {{"HOME", dir_}, {"QUILLWORKER_CARD", parent_.card()}, {"LC_ALL", "C"}};
    options.unsetEnv = {"DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR", "PIPEWIRE_REMOTE",
                        "REMOTE_SESSION_WORKFLOW"};
    options.stdoutPath = dir_ + "/agent.out";
    options.stderrPath = dir_ + "/agent.err";
    agent_ = swtest::Process::Spawn({swtest::AgentBinary()}, options);
    if (!agent_) {
      ADD_FAILURE() << "agent not started";
      return false;
    }
    if (parent_.WaitForControl(kStartMs) != REMOTE_INFO_USER ||
        !swtest::WaitFor([&] { return parent_.HasControl(); }, kStartMs)) {
      ADD_FAILURE() << "no greeting: " << agent_->Stderr();
      return false;
    }
    if (!parent_.WriteSessionFiles(services_.Get("DBUS_SESSION_BUS_ADDRESS"),
                                   services_.Get("XDG_RUNTIME_DIR"), getuid()) ||
        !parent_.SendCaptureStart("Meta-0")) {
      ADD_FAILURE() << "capture start not sent";
      return false;
    }
    auto echo = parent_.WaitControlRecord(REMOTE_CAPTURE_START, kStartMs);
    if (!echo || echo->status != CHANNEL_STATUS_SUCCESS) {
      ADD_FAILURE() << "capture start not echoed: " << Log();
      return false;
    }
    return true;
  }

  std::optional<int> WaitExit(int timeoutMs) { return agent_->Wait(timeoutMs); }

  // The fake compositor's record; a line still being written is left out.
  std::vector<RecordedEvent> Events() const {
    std::vector<RecordedEvent> events;
    std::string all = swtest::ReadFile(eventsPath_);
    size_t start = 0;
    for (size_t end = all.find('\n'); end != std::string::npos; end = all.find('\n', start)) {
      std::string line = all.substr(start, end - start);
      start = end + 1;
      size_t space = line.find(' ');
      if (space == std::string::npos) {
        continue;
      }
      events.push_back({std::stoull(line.substr(0, space)), line.substr(space + 1)});
    }
    return events;
  }
  size_t EventCount() const { return Events().size(); }

  // Texts of the recorded events from index `from` on, of the given kinds.
  Texts TextsOf(size_t from, const std::vector<std::string> &kinds) const {
    Texts out;
    std::vector<RecordedEvent> events = Events();
    for (size_t i = from; i < events.size(); i++) {
      std::string kind = KindOf(events[i].text);
      for (const std::string &k : kinds) {
        if (k == kind) {
          out.push_back(events[i].text);
          break;
        }
      }
    }
    return out;
  }

  // Injected events from `from` on, once at least `expected` arrived (or
  // the time ran out).
  Texts InputSince(size_t from, size_t expected, int timeoutMs = kArriveMs) const {
    swtest::WaitFor([&] { return InputTexts(from).size() >= expected; }, timeoutMs);
    return InputTexts(from);
  }
  Texts InputTexts(size_t from) const {
    Texts out;
    std::vector<RecordedEvent> events = Events();
    for (size_t i = from; i < events.size(); i++) {
      if (IsInputKind(KindOf(events[i].text))) {
        out.push_back(events[i].text);
      }
    }
    return out;
  }

  // True once the keyboard and the absolute pointer of a client that
  // connected after record index `from` are emulating.
  bool WaitDevices(size_t from, int timeoutMs = kStartMs) const {
    return swtest::WaitFor(
        [&] {
          int n = 0;
          for (const std::string &t : TextsOf(from, {"start-emulating"})) {
            n += StartsWith(t, "start-emulating fake keyboard ") ||
                 StartsWith(t, "start-emulating fake absolute pointer ");
          }
          return n >= 2;
        },
        timeoutMs);
  }

  // Calls the fake compositor's test control interface.
  bool Control(const char *method, GVariant *args = nullptr, GVariant **reply = nullptr) {
    std::string error = "the fake compositor did not start";
    if (!control_ || !control_->Call(swtest::FakeService::kInput, method, args, &error, reply)) {
      ADD_FAILURE() << method << ": " << error;
      return false;
    }
    return true;
  }

  // RemoteDesktop sessions the fake compositor holds now.
  int LiveSessions() {
    GVariant *counts = nullptr;
    if (!Control("GetCounts", nullptr, &counts)) {
      return -1;
    }
    guint32 created = 0, started = 0, stopped = 0, clients = 0;
    guint64 events = 0;
    g_variant_get(counts, "(uuuut)", &created, &started, &stopped, &clients, &events);
    g_variant_unref(counts);
    return static_cast<int>(created - stopped);
  }

  // Entries of a directory of the agent's /proc node ("fd", "task").
  size_t AgentProcEntries(const char *what) const {
    std::string dir = "/proc/" + std::to_string(agent_->pid()) + "/" + what;
    size_t n = 0;
    if (DIR *d = opendir(dir.c_str())) {
      while (dirent *e = readdir(d)) {
        n += e->d_name[0] != '.';
      }
      closedir(d);
    }
    return n;
  }

  std::string Log() const { return swtest::ReadFile(logPath_); }
  size_t CountLog(const std::string &text) const {
    std::string log = Log();
    size_t n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) {
      n++;
    }
    return n;
  }
  bool WaitLog(const std::string &text, int timeoutMs, size_t atLeast = 1) const {
    return swtest::WaitFor([&] { return CountLog(text) >= atLeast; }, timeoutMs);
  }
  // Position of the first occurrence of text in the log (npos if none).
  size_t LogPosition(const std::string &text) const { return Log().find(text); }

 private:
  swtest::TestServices services_;
  swparent::Parent parent_;
  std::string dir_;
  std::string eventsPath_;
  std::string logPath_;
  std::unique_ptr<swtest::Process> compositor_;
  std::unique_ptr<swtest::Process> agent_;
  std::unique_ptr<swtest::FakeControl> control_;
  bool ok_ = false;
};

// Brings a run up to emulating devices; a fatal failure ends the test.
#define START_CONNECTED(run)                       \
  ASSERT_TRUE((run).ok());                         \
  ASSERT_TRUE((run).StartAgentAndCapture());       \
  ASSERT_TRUE((run).WaitDevices(0)) << (run).Log()

// Ends the agent as the parent does; it must exit cleanly.
void StopAgent(AgentInputRun &run) {
  ASSERT_TRUE(run.parent().SendStop());
  EXPECT_EQ(run.WaitExit(kExitMs), 0) << run.Log();
}

TEST(AgentInput, KeysMapToLinuxCodesAndUnmappedOnesAreRefused) {
  AgentInputRun run;
  START_CONNECTED(run);
  swparent::Parent &parent = run.parent();
  size_t from = run.EventCount();

  const uint16_t sent[] = {30, 0x11C, 0x137, 0x15D, 0x100, 0x15E};
  for (uint16_t vscancode : sent) {
    ASSERT_TRUE(parent.SendKey(vscancode, true));
    ASSERT_TRUE(parent.SendKey(vscancode, false));
  }
  // A last key right behind the refused ones: nothing may come between.
  ASSERT_TRUE(parent.SendKey(2, true));

  Texts expected = {"key 30 1",  "frame", "key 30 0",  "frame", "key 96 1",  "frame",
                    "key 96 0",  "frame", "key 210 1", "frame", "key 210 0", "frame",
                    "key 139 1", "frame", "key 139 0", "frame", "key 2 1",   "frame"};
  EXPECT_EQ(run.InputSince(from, expected.size()), expected);
  EXPECT_TRUE(run.WaitLog("sightwellInput: Unmapped VScancode 256, cannot inject key event", kArriveMs, 2));
  EXPECT_TRUE(run.WaitLog("sightwellInput: Unmapped VScancode 350, cannot inject key event", kArriveMs, 2));
  EXPECT_EQ(run.CountLog("Unmapped VScancode"), 4u);
  EXPECT_EQ(run.CountLog("device not initialized"), 0u);
  StopAgent(run);
}

TEST(AgentInput, PointerRecordsSendButtonsOnlyOnChangeOrWheel) {
  AgentInputRun run;
  START_CONNECTED(run);
  swparent::Parent &parent = run.parent();
  size_t from = run.EventCount();

  struct Step {
    int32_t x, y;
    uint32_t buttons;
    int8_t wheel, hwheel;
    Texts events;  // between the motion and the frame
  };
  const Texts none;
  const Step steps[] = {
      // Motion alone: motion and frame.
      {100, 200, 0, 0, 0, none},
      // A wheel of -1: the three button states, then scroll (0, -1).
      {101, 201, 0, -1, 0, {"button 272 0", "button 274 0", "button 273 0", "scroll 0 -1"}},
      // Middle pressed, then left pressed while middle is held.
      {102, 202, 4, 0, 0, {"button 272 0", "button 274 1", "button 273 0"}},
      {103, 203, 5, 0, 0, {"button 272 1", "button 274 1", "button 273 0"}},
      {104, 204, 5, 0, 0, none},
      // Bits above 15 never equal the stored 16 bits: states every time.
      {105, 205, 0x10002, 0, 0, {"button 272 0", "button 274 0", "button 273 1"}},
      {106, 206, 0x10002, 0, 0, {"button 272 0", "button 274 0", "button 273 1"}},
      // ...while the same low bits alone match what was stored.
      {107, 207, 2, 0, 0, none},
      // Sideways and vertical wheel in one record: scroll (hwheel, wheel).
      {108, 208, 2, 1, -2, {"button 272 0", "button 274 0", "button 273 1", "scroll -2 1"}},
      {109, 209, 0, 0, 0, {"button 272 0", "button 274 0", "button 273 0"}},
  };
  Texts expected;
  for (const Step &s : steps) {
    ASSERT_TRUE(parent.SendMouse(s.x, s.y, s.buttons, s.wheel, s.hwheel));
    expected.push_back("abs " + std::to_string(s.x) + " " + std::to_string(s.y));
    expected.insert(expected.end(), s.events.begin(), s.events.end());
    expected.push_back("frame");
  }
  EXPECT_EQ(run.InputSince(from, expected.size()), expected);
  StopAgent(run);
}

TEST(AgentInput, RefusedAtStartKeepsEarlyInputUntilItAgesAndRetriesEvery500msUntilAllowed) {
  AgentInputRun run({"--rd-refuse-eis"});
  ASSERT_TRUE(run.ok());
  ASSERT_TRUE(run.StartAgentAndCapture());
  swparent::Parent &parent = run.parent();

  // No device can exist yet: ConnectToEIS is refused.
  auto sentEarly = std::chrono::steady_clock::now();
  ASSERT_TRUE(parent.SendKey(30, true));
  ASSERT_TRUE(parent.SendMouse(10, 10, 1, -1, 0));
  EXPECT_TRUE(run.WaitLog("sightwellInput: Keyboard device not initialized, cannot inject key event", kArriveMs));
  EXPECT_TRUE(run.WaitLog(
      "sightwellInput: Absolute pointer device not initialized, cannot inject mouse event", kArriveMs));

  ASSERT_TRUE(run.WaitLog(
      "SightwellRemote: Input event thread: Initial libEI init failed, will retry every 500ms", kStartMs));
  ASSERT_TRUE(swtest::WaitFor([&] { return run.TextsOf(0, {"rd-connect-eis-refused"}).size() >= 4; },
                              kStartMs));
  EXPECT_GE(run.CountLog("SightwellRemote: Input event thread: reconnect timer fired, attempting Init"), 3u);
  EXPECT_GE(run.CountLog("sightwellInput: Failed to connect to EIS: "), 4u);

  // The attempts follow the 500 ms timer.
  std::vector<uint64_t> attempts;
  for (const RecordedEvent &e : run.Events()) {
    if (StartsWith(e.text, "rd-connect-eis-refused ")) {
      attempts.push_back(e.ns);
    }
  }
  ASSERT_GE(attempts.size(), 4u);
  double meanMs = static_cast<double>(attempts.back() - attempts.front()) / 1e6 /
                  static_cast<double>(attempts.size() - 1);
  EXPECT_GT(meanMs, 400.0);
  EXPECT_LT(meanMs, 1000.0);

  // The early input is kept for two seconds; let it age past that.
  std::this_thread::sleep_until(sentEarly + std::chrono::milliseconds(2500));
  size_t allowedAt = run.EventCount();
  ASSERT_TRUE(run.Control("SetRefuseConnectToEIS", g_variant_new("(b)", FALSE)));
  ASSERT_TRUE(run.WaitDevices(allowedAt)) << run.Log();
  EXPECT_TRUE(run.WaitLog("SightwellRemote: Input event thread: successfully initialized libEI, EIS fd=", kArriveMs));
  EXPECT_EQ(run.CountLog("Initial libEI init failed"), 1u);

  // The aged key press was given up and said so; the pointer record, which
  // holds the button state, was kept and goes first.
  ASSERT_TRUE(parent.SendKey(2, true));
  EXPECT_EQ(run.InputSince(0, 8), (Texts{"abs 10 10", "button 272 1", "button 274 0", "button 273 0",
                                         "scroll 0 -1", "frame", "key 2 1", "frame"}));
  EXPECT_EQ(run.CountLog("sightwellInput: Gave up 1 queued input events"), 1u) << run.Log();

  // Connected: the timer is off.
  size_t fired = run.CountLog("reconnect timer fired");
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_EQ(run.CountLog("reconnect timer fired"), fired);
  StopAgent(run);
}

TEST(AgentInput, EisDisconnectReconnectsWithANewSessionAndInjectionResumes) {
  AgentInputRun run;
  START_CONNECTED(run);
  swparent::Parent &parent = run.parent();
  ASSERT_TRUE(parent.SendKey(30, true));
  ASSERT_EQ(run.InputSince(0, 2), (Texts{"key 30 1", "frame"}));

  // The compositor drops the client.
  size_t from = run.EventCount();
  uint64_t droppedNs = swparent::MonotonicNs();
  ASSERT_TRUE(run.Control("DisconnectClients"));
  ASSERT_TRUE(run.WaitDevices(from)) << run.Log();

  // The old session is stopped, then a new one created, started and
  // connected, about one timer period after the drop.
  std::vector<RecordedEvent> events = run.Events();
  Texts rd;
  uint64_t connectedNs = 0;
  for (size_t i = from; i < events.size(); i++) {
    if (StartsWith(events[i].text, "rd-")) {
      // Without the last word (the creator's bus name, the descriptor, or
      // the path of a one-word line).
      rd.push_back(events[i].text.substr(0, events[i].text.rfind(' ')));
      if (StartsWith(events[i].text, "rd-connect-eis ")) {
        connectedNs = events[i].ns;
      }
    }
  }
  const std::string u1 = std::string(kSessionPrefix) + "1";
  const std::string u2 = std::string(kSessionPrefix) + "2";
  EXPECT_EQ(rd, (Texts{"rd-stop", "rd-create " + u2, "rd-start", "rd-connect-eis " + u2}));
  EXPECT_EQ(run.TextsOf(from, {"rd-stop"}), (Texts{"rd-stop " + u1}));
  ASSERT_NE(connectedNs, 0u);
  double reconnectMs = static_cast<double>(connectedNs - droppedNs) / 1e6;
  EXPECT_GT(reconnectMs, 400.0);
  EXPECT_LT(reconnectMs, 1000.0);
  RecordProperty("reconnect_ms", std::to_string(static_cast<int>(reconnectMs)));

  EXPECT_EQ(run.CountLog("sightwellInput: EIS disconnected us, will try reconnecting"), 1u);
  EXPECT_EQ(run.CountLog("SightwellRemote: Input event thread: disconnect signalled, arming reconnect timer"), 1u);
  EXPECT_EQ(run.CountLog("sightwellInput: Stopped previous session: " + u1), 1u);
  // The disconnect cleared the polled descriptor, so the timer's success
  // reads as a first initialisation; the first connection needed no timer.
  EXPECT_EQ(run.CountLog("SightwellRemote: Input event thread: successfully initialized libEI, EIS fd="), 1u);

  // Injection resumes on the new devices.
  from = run.EventCount();
  ASSERT_TRUE(parent.SendKey(31, true));
  ASSERT_TRUE(parent.SendMouse(5, 6, 0, 0, 0));
  EXPECT_EQ(run.InputSince(from, 4), (Texts{"key 31 1", "frame", "abs 5 6", "frame"}));

  // A drop in the middle of input: the server disconnects on the third
  // event. What was already written to the dropped connection is lost with
  // it; what the agent held back while reconnecting goes out on the new
  // connection, before anything newer.
  ASSERT_TRUE(run.Control("DisconnectAfter", g_variant_new("(u)", 3u)));
  from = run.EventCount();
  for (uint16_t key = 40; key < 44; key++) {
    ASSERT_TRUE(parent.SendKey(key, true));
  }
  ASSERT_TRUE(run.WaitDevices(from)) << run.Log();
  ASSERT_TRUE(run.Control("DisconnectAfter", g_variant_new("(u)", 0u)));
  EXPECT_EQ(run.CountLog("sightwellInput: Stopped previous session: " + u2), 1u);
  EXPECT_EQ(run.CountLog("SightwellRemote: Input event thread: successfully initialized libEI, EIS fd="), 2u);
  size_t resumedAt = run.EventCount();
  ASSERT_TRUE(parent.SendKey(50, true));
  Texts resumed = run.InputSince(resumedAt, 2);
  ASSERT_GE(resumed.size(), 2u);
  EXPECT_EQ(Texts(resumed.end() - 2, resumed.end()), (Texts{"key 50 1", "frame"}));

  // Connected again: no more attempts.
  size_t fired = run.CountLog("reconnect timer fired");
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_EQ(run.CountLog("reconnect timer fired"), fired);
  StopAgent(run);
}

TEST(AgentInput, StopWhileReconnectingEndsTheAgentCleanly) {
  AgentInputRun run;
  START_CONNECTED(run);
  ASSERT_TRUE(run.Control("SetRefuseConnectToEIS", g_variant_new("(b)", TRUE)));
  ASSERT_TRUE(run.Control("DisconnectClients"));
  ASSERT_TRUE(swtest::WaitFor([&] { return run.TextsOf(0, {"rd-connect-eis-refused"}).size() >= 2; },
                              kStartMs))
      << run.Log();

  auto stopped = std::chrono::steady_clock::now();
  ASSERT_TRUE(run.parent().SendStop());
  EXPECT_EQ(run.WaitExit(kExitMs), 0) << run.Log();
  EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::milliseconds(3000));

  // The input event thread ended on the stop and was joined before the
  // capture event thread finished, which finished before the routine.
  size_t inputStop = run.LogPosition("SightwellRemote: Input event thread received stop signal, exiting");
  size_t inputExit = run.LogPosition("SightwellRemote: Input event thread exiting");
  size_t captureExit = run.LogPosition("SightwellRemote: Capture event thread exiting");
  size_t routineExit = run.LogPosition("SightwellRemote: REMOTE_STOP processed, exiting remote routine cleanly");
  ASSERT_NE(inputStop, std::string::npos) << run.Log();
  ASSERT_NE(inputExit, std::string::npos);
  ASSERT_NE(captureExit, std::string::npos);
  ASSERT_NE(routineExit, std::string::npos);
  EXPECT_LT(inputStop, inputExit);
  EXPECT_LT(inputExit, captureExit);
  EXPECT_LT(captureExit, routineExit);
  EXPECT_TRUE(run.parent().ControlClosedByAgent());
}

TEST(AgentInput, BurstOfThousandsArrivesCompleteAndInOrder) {
  AgentInputRun run;
  START_CONNECTED(run);
  swparent::Parent &parent = run.parent();
  size_t from = run.EventCount();

  constexpr int kRecords = 6000;
  Texts expected;
  expected.reserve(kRecords * 2);
  auto began = std::chrono::steady_clock::now();
  for (int i = 0; i < kRecords; i++) {
    if (i % 2 == 0) {
      uint16_t key = static_cast<uint16_t>(1 + (i / 2) % 200);
      bool pressed = (i / 2) % 2 == 0;
      ASSERT_TRUE(parent.SendKey(key, pressed));
      expected.push_back("key " + std::to_string(key) + (pressed ? " 1" : " 0"));
    } else {
      // Inside the 1280x720 region: the server drops motion outside it.
      int32_t x = i % 1280;
      int32_t y = (i / 1280) * 100 + i % 97;
      ASSERT_TRUE(parent.SendMouse(x, y, 0, 0, 0));
      expected.push_back("abs " + std::to_string(x) + " " + std::to_string(y));
    }
    expected.push_back("frame");
  }
  Texts got = run.InputSince(from, expected.size(), 30000);
  auto tookMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::steady_clock::now() - began)
                    .count();
  RecordProperty("burst_ms", std::to_string(tookMs));
  ASSERT_EQ(got.size(), expected.size()) << "burst took " << tookMs << " ms";
  for (size_t i = 0; i < got.size(); i++) {
    ASSERT_EQ(got[i], expected[i]) << "at " << i;
  }
  EXPECT_EQ(run.CountLog("device not initialized"), 0u);
  StopAgent(run);
}

// Keys sent as soon as capture has started come before the input event
// thread has its devices; a key sent during a reconnect finds none either.
// Both are kept and arrive complete and in order.
TEST(AgentInput, KeysSentBeforeTheDevicesOrDuringAReconnectAllArriveInOrder) {
  AgentInputRun run;
  ASSERT_TRUE(run.ok());
  ASSERT_TRUE(run.StartAgentAndCapture());
  swparent::Parent &parent = run.parent();
  Texts expected;
  auto type = [&](uint16_t first, uint16_t last) {
    for (uint16_t key = first; key <= last; key++) {
      ASSERT_TRUE(parent.SendKey(key, true));
      ASSERT_TRUE(parent.SendKey(key, false));
      for (const char *state : {" 1", " 0"}) {
        expected.push_back("key " + std::to_string(key) + state);
        expected.push_back("frame");
      }
    }
  };
  type(2, 21);
  ASSERT_TRUE(run.WaitDevices(0)) << run.Log();
  EXPECT_EQ(run.InputSince(0, expected.size()), expected) << run.Log();

  // The compositor drops the client; the agent has noticed when it says so.
  size_t from = run.EventCount();
  ASSERT_TRUE(run.Control("DisconnectClients"));
  ASSERT_TRUE(run.WaitLog("sightwellInput: EIS disconnected us, will try reconnecting", kArriveMs));
  type(30, 49);
  ASSERT_TRUE(run.WaitDevices(from)) << run.Log();
  EXPECT_EQ(run.InputSince(0, expected.size()), expected) << run.Log();
  EXPECT_EQ(run.CountLog("Gave up"), 0u);
  StopAgent(run);
}

// Every failed RemoteDesktop attempt (every 500 ms while ConnectToEIS is
// refused, as on a GNOME without EIS) stops the session it started: after
// 100 of them the compositor holds no session of ours, and the agent's
// descriptors and threads are what they were after the first ten.
TEST(AgentInput, HundredRefusedAttemptsLeaveNoSessionsDescriptorsOrThreadsBehind) {
  AgentInputRun run({"--rd-refuse-eis"});
  ASSERT_TRUE(run.ok());
  ASSERT_TRUE(run.StartAgentAndCapture());
  auto refusals = [&] { return run.TextsOf(0, {"rd-connect-eis-refused"}).size(); };
  ASSERT_TRUE(swtest::WaitFor([&] { return refusals() >= 10; }, 30000)) << run.Log();
  size_t fds = run.AgentProcEntries("fd");
  size_t threads = run.AgentProcEntries("task");
  ASSERT_TRUE(swtest::WaitFor([&] { return refusals() >= 100; }, 150000)) << run.Log();
  EXPECT_LE(run.LiveSessions(), 1);
  EXPECT_EQ(run.AgentProcEntries("fd"), fds);
  EXPECT_EQ(run.AgentProcEntries("task"), threads);
  RecordProperty("fds", std::to_string(fds));
  RecordProperty("threads", std::to_string(threads));
  StopAgent(run);
}

// A compositor that hangs must not keep the agent from its parent: with
// ConnectToEIS unanswered, and with the EIS socket unread while the parent
// keeps sending, REMOTE_STOP still ends the agent at once. (The stalls
// last far longer than the bound asserted here.)
TEST(AgentInput, StopIsServedWhileTheCompositorStalls) {
  {
    AgentInputRun run;
    ASSERT_TRUE(run.ok());
    ASSERT_TRUE(run.Control("SetStallConnectToEIS", g_variant_new("(u)", 60000u)));
    ASSERT_TRUE(run.StartAgentAndCapture());
    ASSERT_TRUE(swtest::WaitFor([&] { return !run.TextsOf(0, {"rd-connect-eis-stalled"}).empty(); },
                                kStartMs))
        << run.Log();
    auto stalled = std::chrono::steady_clock::now();
    ASSERT_TRUE(run.parent().SendKey(30, true));
    auto stop = std::chrono::steady_clock::now();
    ASSERT_TRUE(run.parent().SendStop());
    EXPECT_EQ(run.WaitExit(kExitMs), 0) << run.Log();
    EXPECT_LT(std::chrono::steady_clock::now() - stalled, std::chrono::seconds(5)) << run.Log();
    RecordProperty("stop_ms_connect_stalled", std::to_string(MsSince(stop)));
  }
  {
    AgentInputRun run;
    START_CONNECTED(run);
    auto stalled = std::chrono::steady_clock::now();
    ASSERT_TRUE(run.Control("StallEis", g_variant_new("(u)", 10000u)));
    // Far more than the socket and the queue hold.
    for (int i = 0; i < 10000; i++) {
      ASSERT_TRUE(run.parent().SendKey(static_cast<uint16_t>(2 + i % 40), i % 2 == 0));
    }
    RecordProperty("send_ms_eis_stalled", std::to_string(MsSince(stalled)));
    auto stop = std::chrono::steady_clock::now();
    ASSERT_TRUE(run.parent().SendStop());
    EXPECT_EQ(run.WaitExit(kExitMs), 0) << run.Log();
    EXPECT_LT(std::chrono::steady_clock::now() - stalled, std::chrono::seconds(5)) << run.Log();
    EXPECT_TRUE(run.TextsOf(0, {"eis-stall-over"}).empty());
    RecordProperty("stop_ms_eis_stalled", std::to_string(MsSince(stop)));
  }
}

}  // namespace
