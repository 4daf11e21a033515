// The agent built on this host against GNOME Mutter 48 running headless in a
// Debian 13 root, driven exactly as a parent would drive it: session files
// naming the session's bus, runtime directory and user, capture start on
// "Meta-0", keys and pointer through the agent, audio from the session, a
// logout and a stop.
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

#include "tests/support/process.h"
#include "tests/support/test_env.h"
#include "tools/sightwell-parent/parent.h"

namespace {

constexpr uint32_t kWidth = 1280;
constexpr uint32_t kHeight = 720;

std::map<std::string, std::string> ParseEnv(const std::string &text) {
  std::map<std::string, std::string> env;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    auto eq = line.find('=');
    if (eq != std::string::npos) {
      env[line.substr(0, eq)] = line.substr(eq + 1);
    }
  }
  return env;
}

int RunShell(const std::string &command) {
  int status = system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Set-1 scancodes of the characters the tests type.
uint16_t Scancode(char c) {
  static const std::map<char, uint16_t> codes = {
      {'a', 0x1e}, {'b', 0x30}, {'c', 0x2e}, {'d', 0x20}, {'e', 0x12}, {'f', 0x21}, {'g', 0x22},
      {'h', 0x23}, {'i', 0x17}, {'j', 0x24}, {'k', 0x25}, {'l', 0x26}, {'m', 0x32}, {'n', 0x31},
      {'o', 0x18}, {'p', 0x19}, {'q', 0x10}, {'r', 0x13}, {'s', 0x1f}, {'t', 0x14}, {'u', 0x16},
      {'v', 0x2f}, {'w', 0x11}, {'x', 0x2d}, {'y', 0x15}, {'z', 0x2c}, {' ', 0x39}, {'/', 0x35},
      {'1', 0x02}, {'2', 0x03}, {'3', 0x04}, {'4', 0x05}, {'5', 0x06}, {'6', 0x07}, {'7', 0x08},
      {'8', 0x09}, {'9', 0x0a}, {'0', 0x0b}, {'\n', 0x1c}, {'.', 0x34}, {'-', 0x0c}};
  auto it = codes.find(c);
  return it == codes.end() ? 0 : it->second;
}

// Power of one frequency in a block of mono samples (Goertzel), normalised
// by the block's energy: near 1 for a pure tone at that frequency.
double ToneShare(const std::vector<double> &x, double freq, double rate) {
  double k = 2 * std::cos(2 * M_PI * freq / rate), s1 = 0, s2 = 0, energy = 0;
  for (double v : x) {
    double s = v + k * s1 - s2;
    s2 = s1;
    s1 = s;
    energy += v * v;
  }
  double power = s1 * s1 + s2 * s2 - k * s1 * s2;
  return energy > 0 ? 2 * power / (energy * static_cast<double>(x.size())) : 0;
}

class RealCompositor : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const char *root = getenv("SIGHTWELL_REAL_ROOT");
    if (root == nullptr || access((std::string(root) + "/.sightwell-ready").c_str(), F_OK) != 0) {
      skipReason_ = "SIGHTWELL_REAL_ROOT does not name a root made by scripts/real-compositor build";
      return;
    }
    root_ = root;
    state_ = swtest::MakeTempDir("sightwell-e2e");
    std::string cmd = swtest::SourcePath("scripts/real-compositor") + " start " + root_ + " " +
                      state_ + " > " + state_ + "/start.out 2>&1";
    if (RunShell(cmd) != 0) {
      startError_ = swtest::ReadFile(state_ + "/start.out");
      return;
    }
    env_ = ParseEnv(swtest::ReadFile(state_ + "/env"));
    uid_ = static_cast<uid_t>(std::stoul(env_["SESSION_UID"]));

    home_ = state_ + "/home";
    mkdir(home_.c_str(), 0755);
    mkdir((home_ + "/.velmora").c_str(), 0755);
    logPath_ = state_ + "/sightwell.log";
    swtest::WriteFile(home_ + "/.velmora/config",
                      "sightwell.log.fileName = \"" + logPath_ + "\"\n");
    parent_ = std::make_unique<swparent::Parent>(swtest::UniqueCardName());
    parent_->OnAudio([](const swparent::AudioBlock &b) {
      std::lock_guard<std::mutex> guard(audioLock_);
      for (size_t i = 0; i + 3 < b.samples.size(); i += 4) {
        int16_t l;
        memcpy(&l, &b.samples[i], 2);
        audio_.push_back(l);
      }
    });
    if (!parent_->Listen() ||
        !parent_->WriteSessionFiles(env_["DBUS_SESSION_BUS_ADDRESS"], env_["XDG_RUNTIME_DIR"], uid_)) {
      startError_ = "the reference parent could not listen";
      return;
    }
    swtest::Process::Options options;
    options.env = {{"QUILLWORKER_CARD", parent_->card()}, {"HOME", home_}};
    options.unsetEnv = {"DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR", "REMOTE_SESSION_WORKFLOW"};
    agent_ = swtest::Process::Spawn({swtest::AgentBinary()}, options);
  }

  static void TearDownTestSuite() {
    if (agent_) {
      agent_->Signal(SIGKILL);
      agent_->Wait(5000);
    }
    agent_.reset();
    parent_.reset();
    terminal_.reset();
    if (!state_.empty()) {
      RunShell(swtest::SourcePath("scripts/real-compositor") + " stop " + state_);
      // The session's logs and the agent's log stay for a failed run.
      if (!::testing::UnitTest::GetInstance()->Failed()) {
        RunShell("rm -rf " + state_);
      }
    }
  }

  void SetUp() override {
    if (!skipReason_.empty()) {
      GTEST_SKIP() << skipReason_;
    }
    ASSERT_TRUE(startError_.empty()) << startError_;
    ASSERT_TRUE(agent_ != nullptr);
  }

  // Starts a program inside the root as the session user, on the session's
  // Wayland display.
  static std::unique_ptr<swtest::Process> InSession(const std::vector<std::string> &argv,
                                                    const std::string &stdoutPath = "") {
    std::vector<std::string> full = {
        "/usr/sbin/chroot", "--userspec=" + std::to_string(uid_) + ":" + std::to_string(uid_),
        root_, "/usr/bin/env", "-i", "PATH=/usr/bin:/bin", "HOME=/home/" + env_["SESSION_USER"],
        "XDG_RUNTIME_DIR=" + env_["ROOT_RUNTIME_DIR"], "WAYLAND_DISPLAY=wayland-0",
        "DBUS_SESSION_BUS_ADDRESS=unix:path=" + env_["ROOT_RUNTIME_DIR"] + "/bus"};
    full.insert(full.end(), argv.begin(), argv.end());
    swtest::Process::Options options;
    options.stdoutPath = stdoutPath;
    return swtest::Process::Spawn(full, options);
  }

  static size_t CountColor(const swparent::Frame &f, uint8_t b, uint8_t g, uint8_t r) {
    size_t n = 0;
    for (size_t i = 0; i + 3 < f.pixels.size(); i += 4) {
      n += f.pixels[i] == b && f.pixels[i + 1] == g && f.pixels[i + 2] == r;
    }
    return n;
  }

  // Types text as key presses and releases. Every character is checked
  // first, so a text the table cannot type never runs half typed.
  static void Type(const std::string &text) {
    for (char c : text) {
      ASSERT_NE(Scancode(c), 0) << "no scancode for '" << c << "'";
    }
    for (char c : text) {
      uint16_t code = Scancode(c);
      ASSERT_TRUE(parent_->SendKey(code, true));
      ASSERT_TRUE(parent_->SendKey(code, false));
      usleep(20000);
    }
  }

  static inline std::string skipReason_;
  static inline std::string startError_;
  static inline std::string root_;
  static inline std::string state_;
  static inline std::string home_;
  static inline std::string logPath_;
  static inline std::map<std::string, std::string> env_;
  static inline uid_t uid_ = 0;
  static inline std::unique_ptr<swparent::Parent> parent_;
  static inline std::unique_ptr<swtest::Process> agent_;
  static inline std::mutex audioLock_;
  static inline std::vector<int16_t> audio_;
  static inline std::unique_ptr<swtest::Process> terminal_;
};

// The operator's host check against the same session, with its own agent,
// before the suite's agent captures anything: every capability must pass.
TEST_F(RealCompositor, HostCheckPassesEveryCapability) {
  const std::string out = state_ + "/check";
  auto check = swtest::Process::Spawn(
      {swtest::ParentBinary(), "check", "--runtime-dir", env_["XDG_RUNTIME_DIR"], "--bus",
       env_["DBUS_SESSION_BUS_ADDRESS"], "--uid", std::to_string(uid_), "--agent",
       swtest::AgentBinary(), "--input", "--out", out},
      {});
  ASSERT_TRUE(check != nullptr);
  auto status = check->Wait(90000);
  ASSERT_TRUE(status.has_value()) << "the check did not end:\n" << check->Stdout();
  std::cout << check->Stdout();
  EXPECT_EQ(*status, 0) << check->Stdout() << check->Stderr();
  std::map<std::string, std::string> verdicts;
  std::istringstream lines(check->Stdout());
  for (std::string capability, rest; lines >> capability && std::getline(lines >> std::ws, rest);) {
    verdicts[capability] = rest;
  }
  for (const char *capability : {"session", "compositor", "pipewire", "agent", "screencast",
                                 "frames", "cursor", "input", "audio", "logout", "stop"}) {
    EXPECT_EQ(verdicts[capability].rfind("ok ", 0), 0u) << capability << ": " << verdicts[capability];
  }
  EXPECT_NE(verdicts["screencast"].find("Meta-0"), std::string::npos) << verdicts["screencast"];
  EXPECT_NE(verdicts["frames"].find("1280x720"), std::string::npos) << verdicts["frames"];
  EXPECT_EQ(access((out + "/report.html").c_str(), F_OK), 0);
}

TEST_F(RealCompositor, CaptureStartsOnTheVirtualMonitorAndFramesShowAClientWindow) {
  ASSERT_EQ(parent_->WaitForControl(10000), static_cast<uint32_t>(REMOTE_INFO_USER));
  ASSERT_TRUE(parent_->WaitForAudio(5000));
  // A terminal with a magenta background, so its window is easy to find.
  std::string fontConfig = root_ + "/home/" + env_["SESSION_USER"] + "/.config/foot";
  RunShell("mkdir -p " + fontConfig);
  swtest::WriteFile(fontConfig + "/foot.ini",
                    "[main]\nfont=DejaVu Sans Mono:size=14\n[colors]\nbackground=ff00ff\n"
                    "foreground=000000\n");
  RunShell("chown -R " + std::to_string(uid_) + ":" + std::to_string(uid_) + " " + root_ +
           "/home/" + env_["SESSION_USER"] + "/.config");
  terminal_ = InSession({"foot", "--", "/bin/sh"});
  ASSERT_TRUE(terminal_ != nullptr);

  ASSERT_TRUE(parent_->SendCaptureStart("Meta-0"));
  auto echo = parent_->WaitControlRecord(REMOTE_CAPTURE_START, 10000);
  ASSERT_TRUE(echo.has_value()) << swtest::ReadFile(logPath_);
  EXPECT_EQ(echo->status, static_cast<uint32_t>(CHANNEL_STATUS_SUCCESS));
  EXPECT_STREQ(echo->connector, "Meta-0");

  // Frames come on damage; the terminal drawing itself is damage.
  bool sawWindow = false;
  swtest::WaitFor([&] {
    auto frame = parent_->LastFrame();
    sawWindow = frame && frame->width == kWidth && frame->height == kHeight &&
                CountColor(*frame, 0xff, 0x00, 0xff) > 20000;
    return sawWindow;
  }, 20000);
  auto frame = parent_->LastFrame();
  ASSERT_TRUE(frame.has_value()) << "no frame arrived; log:\n" << swtest::ReadFile(logPath_);
  EXPECT_EQ(frame->width, kWidth);
  EXPECT_EQ(frame->height, kHeight);
  EXPECT_EQ(frame->pixels.size(), static_cast<size_t>(kWidth) * kHeight * 4);
  EXPECT_TRUE(sawWindow) << "the terminal's magenta window is not in the frame";
  EXPECT_EQ(parent_->GetSummary().malformed, 0u) << parent_->GetSummary().firstMalformed;
}

TEST_F(RealCompositor, KeysTypedThroughTheAgentRunACommandInTheTerminal) {
  std::string marker = root_ + "/tmp/sightwell-e2e-typed";
  unlink(marker.c_str());
  // The terminal has the keyboard focus as the only window.
  ASSERT_NO_FATAL_FAILURE(Type("touch /tmp/sightwell-e2e-typed\n"));
  EXPECT_TRUE(swtest::WaitFor([&] { return access(marker.c_str(), F_OK) == 0; }, 10000))
      << "the typed command did not run; log:\n" << swtest::ReadFile(logPath_);
}

TEST_F(RealCompositor, PointerMovesBringCursorMetadataWithOneBitmapPerShape) {
  // A diagonal from the desktop into the terminal window, so the shape
  // changes on the way (arrow, then the terminal's text cursor).
  const int32_t lastX = 100 + 39 * 20, lastY = 100 + 39 * 10;
  for (int i = 0; i < 40; i++) {
    ASSERT_TRUE(parent_->SendMouse(100 + i * 20, 100 + i * 10, 0, 0, 0));
    usleep(20000);
  }
  // The metadata carries the pointer position as sent.
  ASSERT_TRUE(swtest::WaitFor([&] {
    auto records = parent_->CursorRecords();
    return !records.empty() && records.back().record.cursorX == lastX &&
           records.back().record.cursorY == lastY;
  }, 10000)) << "no cursor update at the last pointer position; log:\n"
             << swtest::ReadFile(logPath_);
  auto records = parent_->CursorRecords();
  std::set<std::pair<int32_t, int32_t>> positions;
  const swparent::CursorRecord *previous = nullptr;
  size_t bitmaps = 0;
  for (const auto &r : records) {
    positions.emplace(r.record.cursorX, r.record.cursorY);
    if (r.record.cursorBytes == 0) {
      continue;
    }
    bitmaps++;
    EXPECT_EQ(r.record.cursorBytes, r.record.cursorWidth * r.record.cursorHeight * 4);
    if (previous != nullptr && !r.bitmap.empty() && !previous->bitmap.empty()) {
      // A bitmap travels again only for a new shape: other hotspot or other
      // pixels.
      EXPECT_TRUE(r.record.cursorHotX != previous->record.cursorHotX ||
                  r.record.cursorHotY != previous->record.cursorHotY ||
                  r.bitmap != previous->bitmap)
          << "the same shape was sent twice in a row";
    }
    previous = &r;
  }
  EXPECT_GE(bitmaps, 1u);
  EXPECT_LT(bitmaps, records.size()) << "every update carried a bitmap";
  // Most of the 40 positions show up (a busy compositor may merge some).
  EXPECT_GE(positions.size(), 10u);
}

TEST_F(RealCompositor, PointerClicksReachAClient) {
  if (terminal_) {
    terminal_->Signal(SIGTERM);
    terminal_->Wait(5000);
    terminal_.reset();
  }
  // wev writes to a file, which stdio would buffer until exit.
  std::string wevOut = state_ + "/wev.out";
  auto wev = InSession({"stdbuf", "-oL", "wev"}, wevOut);
  ASSERT_TRUE(wev != nullptr);
  auto lines = [&] {
    std::vector<std::string> all;
    std::istringstream in(swtest::ReadFile(wevOut));
    for (std::string line; std::getline(in, line);) {
      all.push_back(line);
    }
    return all;
  };
  auto hasLine = [&](const std::vector<std::string> &parts) {
    for (const auto &line : lines()) {
      bool all = true;
      for (const auto &p : parts) {
        all = all && line.find(p) != std::string::npos;
      }
      if (all) {
        return true;
      }
    }
    return false;
  };
  // Inside the window when wev's last enter or leave was an enter.
  auto inside = [&] {
    bool in = false;
    for (const auto &line : lines()) {
      if (line.find("wl_pointer] enter") != std::string::npos) {
        in = true;
      } else if (line.find("wl_pointer] leave") != std::string::npos) {
        in = false;
      }
    }
    return in;
  };
  // The keyboard focus arrives once the window is mapped.
  ASSERT_TRUE(swtest::WaitFor([&] { return hasLine({"wl_keyboard] enter"}); }, 10000))
      << "wev did not map a window:\n" << swtest::ReadFile(wevOut);
  // Where the compositor places the window is its own choice (Mutter
  // centres it): try the middle first, then sweep the monitor until wev
  // reports the pointer inside, and stays so, for the spot just sent.
  std::vector<std::pair<int32_t, int32_t>> spots = {{kWidth / 2, kHeight / 2}};
  for (uint32_t gy = 40; gy < kHeight; gy += 80) {
    for (uint32_t gx = 40; gx < kWidth; gx += 80) {
      spots.emplace_back(gx, gy);
    }
  }
  int32_t x = -1, y = -1;
  for (auto [gx, gy] : spots) {
    ASSERT_TRUE(parent_->SendMouse(gx, gy, 0, 0, 0));
    if (swtest::WaitFor(inside, 100)) {
      usleep(150000);
      if (inside()) {
        x = gx;
        y = gy;
        break;
      }
    }
  }
  ASSERT_GE(x, 0) << "the pointer never entered wev's window:\n" << swtest::ReadFile(wevOut);
  // Step a few pixels inside so the press lands well within the surface.
  ASSERT_TRUE(parent_->SendMouse(x + 2, y + 2, 0, 0, 0));
  ASSERT_TRUE(parent_->SendMouse(x + 2, y + 2, kMouseButtonLeft, 0, 0));
  usleep(50000);
  ASSERT_TRUE(parent_->SendMouse(x + 2, y + 2, 0, 0, 0));
  EXPECT_TRUE(swtest::WaitFor([&] {
    return hasLine({"wl_pointer] button", "272", "pressed"}) &&
           hasLine({"wl_pointer] button", "272", "released"});
  }, 10000)) << "no left press and release in wev's output:\n" << swtest::ReadFile(wevOut);
  wev->Signal(SIGTERM);
  wev->Wait(5000);
}

TEST_F(RealCompositor, ATonePlayedInTheSessionReachesTheParent) {
  ASSERT_TRUE(parent_->SendAudioStart());
  auto reply = parent_->WaitAudioRecord(REMOTE_AUDIO_START, 15000);
  ASSERT_TRUE(reply.has_value());
  ASSERT_EQ(reply->status, static_cast<uint32_t>(CHANNEL_STATUS_SUCCESS))
      << swtest::ReadFile(logPath_);
  // Two seconds of 1 kHz at half scale, written where the session sees it.
  std::string wav = root_ + "/tmp/sightwell-tone.wav";
  {
    std::ofstream out(wav, std::ios::binary);
    const uint32_t rate = 48000, frames = rate * 2, bytes = frames * 4;
    auto u32 = [&](uint32_t v) { out.write(reinterpret_cast<const char *>(&v), 4); };
    auto u16 = [&](uint16_t v) { out.write(reinterpret_cast<const char *>(&v), 2); };
    out.write("RIFF", 4); u32(36 + bytes); out.write("WAVEfmt ", 8); u32(16); u16(1); u16(2);
    u32(rate); u32(rate * 4); u16(4); u16(16); out.write("data", 4); u32(bytes);
    for (uint32_t i = 0; i < frames; i++) {
      int16_t v = static_cast<int16_t>(16000 * std::sin(2 * M_PI * 1000.0 * i / rate));
      out.write(reinterpret_cast<const char *>(&v), 2);
      out.write(reinterpret_cast<const char *>(&v), 2);
    }
  }
  chmod(wav.c_str(), 0644);
  {
    std::lock_guard<std::mutex> guard(audioLock_);
    audio_.clear();
  }
  auto play = InSession({"pw-play", "/tmp/sightwell-tone.wav"});
  play->Wait(15000);
  usleep(500000);
  std::vector<int16_t> samples;
  {
    std::lock_guard<std::mutex> guard(audioLock_);
    samples = audio_;
  }
  // Some 100 ms window must hold the tone at a clear level.
  double best = 0, bestRms = 0;
  for (size_t start = 0; start + 4800 <= samples.size(); start += 2400) {
    std::vector<double> window(samples.begin() + start, samples.begin() + start + 4800);
    double rms = 0;
    for (double v : window) rms += v * v;
    rms = std::sqrt(rms / 4800);
    double share = ToneShare(window, 1000, 48000);
    if (rms > 1000 && share > best) {
      best = share;
      bestRms = rms;
    }
  }
  EXPECT_GT(best, 0.8) << "no 1 kHz tone among " << samples.size() << " samples";
  EXPECT_GT(bestRms, 4000);
}

// Mutter crashes and is started again in the same session: the agent
// notices that its producer is gone (no Closed comes from a dead
// compositor), keeps serving the parent and captures from the new Mutter
// by itself; then the same after PipeWire restarts. An idle screen still
// sends the first frame of a new stream.
TEST_F(RealCompositor, CaptureResumesAfterMutterOrPipeWireRestarts) {
  ASSERT_GT(parent_->GetSummary().frames, 0u);
  const std::string script = swtest::SourcePath("scripts/real-compositor");
  ASSERT_EQ(RunShell(script + " kill-mutter " + state_ + " > " + state_ + "/kill.out 2>&1"), 0)
      << swtest::ReadFile(state_ + "/kill.out");
  usleep(1000000);
  const uint32_t before = parent_->GetSummary().frames;
  ASSERT_TRUE(agent_->Running());
  ASSERT_EQ(RunShell(script + " start-mutter " + state_ + " > " + state_ + "/restart.out 2>&1"), 0)
      << swtest::ReadFile(state_ + "/restart.out");
  EXPECT_TRUE(swtest::WaitFor([&] { return parent_->GetSummary().frames > before; }, 20000))
      << swtest::ReadFile(logPath_);
  auto frame = parent_->LastFrame();
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->width, kWidth);
  EXPECT_EQ(frame->height, kHeight);

  // PipeWire and its session manager restart under the compositor and the
  // agent: Mutter ends its streams, and capture comes back once more.
  const uint32_t beforePipeWire = parent_->GetSummary().frames;
  ASSERT_EQ(RunShell(script + " restart-pipewire " + state_ + " > " + state_ + "/pw.out 2>&1"), 0)
      << swtest::ReadFile(state_ + "/pw.out");
  EXPECT_TRUE(swtest::WaitFor([&] { return parent_->GetSummary().frames > beforePipeWire; }, 20000))
      << swtest::ReadFile(logPath_);
}

// Applies a temporary monitors configuration that gives the one logical
// monitor the transform (0 normal, 1 rotated by 90 degrees), on the session
// bus as the session user: that bus accepts no one else. The thread's own
// ids are switched (the raw system call changes only the calling thread).
std::string SetMonitorTransform(const std::string &busAddress, uid_t uid, uint32_t transform) {
  std::string error;
  std::thread worker([&] {
    if (syscall(SYS_setresuid, uid, uid, uid) != 0) {
      error = std::string("setresuid: ") + strerror(errno);
      return;
    }
    GError *gerror = nullptr;
    GDBusConnection *bus = g_dbus_connection_new_for_address_sync(
        busAddress.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &gerror);
    auto call = [&](const char *method, GVariant *args) -> GVariant * {
      return g_dbus_connection_call_sync(bus, "org.gnome.Mutter.DisplayConfig",
                                         "/org/gnome/Mutter/DisplayConfig",
                                         "org.gnome.Mutter.DisplayConfig", method, args, nullptr,
                                         G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, &gerror);
    };
    GVariant *state = bus != nullptr ? call("GetCurrentState", nullptr) : nullptr;
    if (state != nullptr) {
      guint32 serial = 0;
      g_autoptr(GVariant) monitors = nullptr;
      g_autoptr(GVariant) logical = nullptr;
      g_autoptr(GVariant) properties = nullptr;
      g_variant_get(state, "(u@a((ssss)a(siiddada{sv})a{sv})@a(iiduba(ssss)a{sv})@a{sv})",
                    &serial, &monitors, &logical, &properties);
      // The current mode of each monitor, by connector.
      std::map<std::string, std::string> modes;
      for (gsize i = 0; i < g_variant_n_children(monitors); i++) {
        g_autoptr(GVariant) monitor = g_variant_get_child_value(monitors, i);
        const char *connector = nullptr;
        g_autoptr(GVariant) monitorModes = nullptr;
        g_variant_get(monitor, "((&ssss)@a(siiddada{sv})a{sv})", &connector, nullptr, nullptr,
                      nullptr, &monitorModes, nullptr);
        for (gsize m = 0; m < g_variant_n_children(monitorModes); m++) {
          g_autoptr(GVariant) mode = g_variant_get_child_value(monitorModes, m);
          const char *id = nullptr;
          g_autoptr(GVariant) modeProps = nullptr;
          g_variant_get(mode, "(&siiddad@a{sv})", &id, nullptr, nullptr, nullptr, nullptr,
                        nullptr, &modeProps);
          gboolean current = FALSE;
          if (g_variant_lookup(modeProps, "is-current", "b", &current) && current) {
            modes[connector] = id;
          }
        }
      }
      GVariantBuilder config;
      g_variant_builder_init(&config, G_VARIANT_TYPE("a(iiduba(ssa{sv}))"));
      for (gsize i = 0; i < g_variant_n_children(logical); i++) {
        g_autoptr(GVariant) lm = g_variant_get_child_value(logical, i);
        gint32 x = 0, y = 0;
        double scale = 1;
        guint32 oldTransform = 0;
        gboolean primary = FALSE;
        g_autoptr(GVariant) lmMonitors = nullptr;
        g_variant_get(lm, "(iidub@a(ssss)a{sv})", &x, &y, &scale, &oldTransform, &primary,
                      &lmMonitors, nullptr);
        GVariantBuilder assigned;
        g_variant_builder_init(&assigned, G_VARIANT_TYPE("a(ssa{sv})"));
        for (gsize m = 0; m < g_variant_n_children(lmMonitors); m++) {
          const char *connector = nullptr;
          g_variant_get_child(lmMonitors, m, "(&ssss)", &connector, nullptr, nullptr, nullptr);
          g_variant_builder_add(&assigned, "(ss@a{sv})", connector, modes[connector].c_str(),
                                g_variant_new_array(G_VARIANT_TYPE("{sv}"), nullptr, 0));
        }
        g_variant_builder_add(&config, "(iiduba(ssa{sv}))", x, y, scale, transform, primary,
                              &assigned);
      }
      g_variant_unref(state);
      // Method 1: temporary, as a display settings dialog tries a change.
      GVariant *applied =
          call("ApplyMonitorsConfig",
               g_variant_new("(uua(iiduba(ssa{sv}))@a{sv})", serial, 1u, &config,
                             g_variant_new_array(G_VARIANT_TYPE("{sv}"), nullptr, 0)));
      if (applied != nullptr) g_variant_unref(applied);
    }
    if (gerror != nullptr) {
      error = gerror->message;
      g_error_free(gerror);
    }
    if (bus != nullptr) {
      g_dbus_connection_close_sync(bus, nullptr, nullptr);
      g_object_unref(bus);
    }
  });
  worker.join();
  return error;
}

// The monitor is rotated and rotated back while the parent reads slowly.
// The frames that waited across each change had the old size and are not
// sent: the parent sees 1280x720 frames, then 720x1280, then 1280x720
// again, every record followed by its pixels.
TEST_F(RealCompositor, RotatingTheMonitorUnderASlowParentKeepsTheFraming) {
  // A terminal that prints all the time keeps frames coming.
  auto ticker = InSession({"foot", "--", "/bin/sh", "-c", "while :; do date +%s%N; sleep 0.03; done"});
  ASSERT_TRUE(ticker != nullptr);
  const std::string bus = env_["DBUS_SESSION_BUS_ADDRESS"];
  auto frameIs = [&](uint32_t w, uint32_t h) {
    auto frame = parent_->LastFrame();
    return frame && frame->width == w && frame->height == h;
  };
  auto countLog = [&](const std::string &text) {
    std::string log = swtest::ReadFile(logPath_);
    size_t n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) n++;
    return n;
  };
  const uint64_t framesBefore = parent_->GetSummary().frames;
  ASSERT_TRUE(swtest::WaitFor([&] { return parent_->GetSummary().frames >= framesBefore + 10; },
                              20000))
      << "the terminal brings no frames; log:\n" << swtest::ReadFile(logPath_);

  struct Step {
    uint32_t transform, width, height;
  };
  for (Step step : {Step{1, 720, 1280}, Step{0, 1280, 720}}) {
    SCOPED_TRACE("transform " + std::to_string(step.transform));
    const std::string changed = "on_param_changed[Meta-0] width: " + std::to_string(step.width) +
                                " height: " + std::to_string(step.height);
    const size_t changesBefore = countLog(changed);
    const size_t dropsBefore = countLog("Dropping frame for connector Meta-0 due to full queue");
    // The slow parent: frames pile up in the agent's queue.
    parent_->PauseControlReading(true);
    EXPECT_TRUE(swtest::WaitFor(
        [&] {
          return countLog("Dropping frame for connector Meta-0 due to full queue") > dropsBefore;
        },
        10000));
    std::string error = SetMonitorTransform(bus, uid_, step.transform);
    ASSERT_TRUE(error.empty()) << error;
    ASSERT_TRUE(swtest::WaitFor([&] { return countLog(changed) > changesBefore; }, 10000))
        << swtest::ReadFile(logPath_);
    usleep(300000);
    parent_->PauseControlReading(false);
    ASSERT_TRUE(swtest::WaitFor([&] { return frameIs(step.width, step.height); }, 20000))
        << swtest::ReadFile(logPath_);
    const uint64_t framesThen = parent_->GetSummary().frames;
    ASSERT_TRUE(swtest::WaitFor([&] { return parent_->GetSummary().frames >= framesThen + 5; },
                                20000));
    EXPECT_TRUE(frameIs(step.width, step.height));
  }
  ticker->Signal(SIGTERM);
  ticker->Wait(5000);

  swparent::Summary s = parent_->GetSummary();
  EXPECT_EQ(s.emptyFrames, 0u);
  EXPECT_EQ(s.malformed, 0u) << s.firstMalformed;
  auto frame = parent_->LastFrame();
  ASSERT_TRUE(frame.has_value());
  EXPECT_EQ(frame->pixels.size(), static_cast<size_t>(kWidth) * kHeight * 4);
}

TEST_F(RealCompositor, ALogoutIsReportedOnceAndAStopEndsTheAgentCleanly) {
  pid_t bus = -1;
  std::istringstream pids(swtest::ReadFile(state_ + "/pids"));
  pid_t pid;
  std::string comm;
  while (pids >> pid >> comm) {
    if (comm == "dbus-daemon") {
      bus = pid;
    }
  }
  ASSERT_GT(bus, 0);
  kill(bus, SIGKILL);
  auto logout = parent_->WaitControlRecord(REMOTE_LOGOUT, 10000);
  ASSERT_TRUE(logout.has_value()) << swtest::ReadFile(logPath_);
  EXPECT_EQ(logout->logout, 1);
  usleep(1500000);
  EXPECT_FALSE(parent_->WaitControlRecord(REMOTE_LOGOUT, 100).has_value());
  ASSERT_TRUE(parent_->SendStop());
  auto status = agent_->Wait(15000);
  ASSERT_TRUE(status.has_value()) << "the agent did not exit after REMOTE_STOP";
  EXPECT_EQ(*status, 0) << swtest::ReadFile(logPath_);
}

}  // namespace
