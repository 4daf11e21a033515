// The real agent while the compositor and PipeWire come and go: attempts
// that fail leave nothing behind, and capture resumes by itself once the
// compositor or PipeWire is back.
#include <dirent.h>
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "tests/support/compositor_sessions.h"
#include "tests/support/process.h"
#include "tests/support/test_env.h"
#include "tools/sightwell-parent/parent.h"

namespace {

constexpr char kScreenCastName[] = "org.gnome.Mutter.ScreenCast";

int CountEntries(const std::string &dir) {
  int count = 0;
  if (DIR *d = opendir(dir.c_str())) {
    while (dirent *entry = readdir(d)) {
      if (entry->d_name[0] != '.') count++;
    }
    closedir(d);
  }
  return count;
}

// Calls a method of the fake compositor's ScreenCast control interface over a
// connection of its own; the reply, or null.
GVariant *CallFake(const std::string &busAddress, const char *method, GVariant *args) {
  g_autoptr(GDBusConnection) bus = g_dbus_connection_new_for_address_sync(
      busAddress.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, nullptr);
  if (bus == nullptr) {
    if (args != nullptr) g_variant_unref(g_variant_ref_sink(args));
    return nullptr;
  }
  return g_dbus_connection_call_sync(bus, kScreenCastName,
                                     "/org/sightwell/FakeCompositor/ScreenCast",
                                     "org.sightwell.FakeCompositor.ScreenCast", method, args,
                                     nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
}

// Sessions the fake compositor has created so far (0 when it cannot say).
uint32_t SessionsCreated(const std::string &busAddress) {
  g_autoptr(GVariant) reply = CallFake(busAddress, "GetStats", nullptr);
  uint32_t sessions = 0, starts, frames, live;
  const char *mode;
  if (reply != nullptr) g_variant_get(reply, "(uuuu&s)", &sessions, &starts, &frames, &live, &mode);
  return sessions;
}

// The agent capturing connector Meta-0 from the fake compositor, watched by
// the reference parent.
struct CapturingAgent {
  swtest::TestServices &services;
  swparent::Parent parent{swtest::UniqueCardName()};
  std::unique_ptr<swtest::Process> agent;

  explicit CapturingAgent(swtest::TestServices &s) : services(s) {}

  bool Start() {
    if (!parent.Listen() ||
        !parent.WriteSessionFiles(services.Get("DBUS_SESSION_BUS_ADDRESS"),
                                  services.Get("XDG_RUNTIME_DIR"), getuid())) {
      return false;
    }
    swtest::Process::Options options;
    options.env = services.env();
    options.env["QUILLWORKER_CARD"] = parent.card();
    agent = swtest::Process::Spawn({swtest::AgentBinary()}, options);
    if (!agent || parent.WaitForControl(10000) == 0 ||
        !swtest::WaitFor([&] { return parent.HasControl(); }, 5000) ||
        !parent.SendCaptureStart("Meta-0")) {
      return false;
    }
    auto echo = parent.WaitControlRecord(REMOTE_CAPTURE_START, 10000);
    return echo && echo->status == CHANNEL_STATUS_SUCCESS;
  }
  int Descriptors() { return CountEntries("/proc/" + std::to_string(agent->pid()) + "/fd"); }
  int Threads() { return CountEntries("/proc/" + std::to_string(agent->pid()) + "/task"); }
  int LiveSessions() {
    return swtest::CountCompositorSessions(services.Get("DBUS_SESSION_BUS_ADDRESS"),
                                           kScreenCastName, "/org/gnome/Mutter/ScreenCast/Session");
  }
  uint32_t Frames() { return parent.GetSummary().frames; }
  // Milliseconds until `more` further frames arrived, or -1.
  long MsUntilMoreFrames(uint32_t more, int timeoutMs) {
    const uint32_t target = Frames() + more;
    const auto begin = std::chrono::steady_clock::now();
    if (!swtest::WaitFor([&] { return Frames() >= target; }, timeoutMs)) return -1;
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now() - begin)
        .count();
  }
  // REMOTE_STOP, then the exit status (nullopt when the agent hung).
  std::optional<int> Stop() {
    parent.SendStop();
    return agent->Wait(10000);
  }
};

// A hundred attempts that the compositor refuses (RecordMonitor fails) and a
// hundred that it closes before naming a node: the agent's descriptors and
// threads stay where they were after the first few, and no compositor session
// outlives its attempt.
TEST(AgentCaptureRecovery, AbandonedAttemptsLeaveNothingBehind) {
  swtest::TestServices services;
  ASSERT_TRUE(services.ok()) << services.error();
  const std::string bus = services.Get("DBUS_SESSION_BUS_ADDRESS");
  auto compositor = swtest::StartFakeCompositor(services, {"--sc-refuse-record"});
  ASSERT_TRUE(compositor);
  CapturingAgent a(services);
  ASSERT_TRUE(a.Start()) << (a.agent ? a.agent->Stderr() : "");

  ASSERT_TRUE(swtest::WaitFor([&] { return SessionsCreated(bus) >= 5; }, 30000));
  const int fds = a.Descriptors();
  const int threads = a.Threads();
  // Sampled at any moment, one attempt may be in flight with its context.
  constexpr int kInFlight = 3;

  ASSERT_TRUE(swtest::WaitFor([&] { return SessionsCreated(bus) >= 105; }, 300000));
  EXPECT_LE(a.Descriptors(), fds + kInFlight) << "after 100 refused RecordMonitor calls";
  EXPECT_LE(a.Threads(), threads);
  EXPECT_LE(a.LiveSessions(), 1);

  g_autoptr(GVariant) off =
      CallFake(bus, "SetFault", g_variant_new("(sb)", "refuse-record", FALSE));
  ASSERT_TRUE(off);
  g_autoptr(GVariant) closes = CallFake(bus, "SetCloseAfterFrames", g_variant_new("(i)", 0));
  ASSERT_TRUE(closes);
  const uint32_t mark = SessionsCreated(bus);
  ASSERT_TRUE(swtest::WaitFor([&] { return SessionsCreated(bus) >= mark + 100; }, 300000));
  EXPECT_LE(a.Descriptors(), fds + kInFlight) << "after 100 sessions closed by the compositor";
  EXPECT_LE(a.Threads(), threads);
  EXPECT_LE(a.LiveSessions(), 1);
  EXPECT_TRUE(a.agent->Running());
  printf("after %u attempts: %d descriptors (%d after 5), %d threads (%d), %d live sessions\n",
         SessionsCreated(bus), a.Descriptors(), fds, a.Threads(), threads, a.LiveSessions());

  auto status = a.Stop();
  ASSERT_TRUE(status);
  EXPECT_EQ(*status, 0);
  compositor->Signal(SIGTERM);
  compositor->Wait(5000);
}

// The compositor dies without a word and comes back; later PipeWire (and its
// session manager) restarts under both. Each time the agent goes on serving
// the parent and captures again by itself, in one live compositor session.
TEST(AgentCaptureRecovery, CaptureResumesWhenTheCompositorOrPipeWireComesBack) {
  swtest::TestServices services;
  ASSERT_TRUE(services.ok()) << services.error();
  const std::vector<std::string> args = {"--sc-fps=30", "--sc-width=160", "--sc-height=96"};
  auto compositor = swtest::StartFakeCompositor(services, args);
  ASSERT_TRUE(compositor);
  CapturingAgent a(services);
  ASSERT_TRUE(a.Start()) << (a.agent ? a.agent->Stderr() : "");
  ASSERT_GE(a.MsUntilMoreFrames(10, 20000), 0) << a.agent->Stderr();

  compositor->Signal(SIGKILL);
  ASSERT_TRUE(compositor->Wait(5000));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  ASSERT_TRUE(a.agent->Running());
  compositor = swtest::StartFakeCompositor(services, args);
  ASSERT_TRUE(compositor);
  const long afterCompositor = a.MsUntilMoreFrames(10, 30000);
  ASSERT_GE(afterCompositor, 0) << "no frames after the compositor came back\n"
                                << a.agent->Stderr();
  EXPECT_EQ(a.LiveSessions(), 1);

  ASSERT_TRUE(services.RestartPipeWire()) << services.error();
  const long afterPipeWire = a.MsUntilMoreFrames(10, 30000);
  ASSERT_GE(afterPipeWire, 0) << "no frames after PipeWire came back\n" << a.agent->Stderr();
  EXPECT_EQ(a.LiveSessions(), 1);
  printf("frames resumed %ld ms after the compositor and %ld ms after PipeWire were back\n",
         afterCompositor, afterPipeWire);

  auto status = a.Stop();
  ASSERT_TRUE(status);
  EXPECT_EQ(*status, 0);
  EXPECT_EQ(a.parent.GetSummary().malformed, 0u);
  compositor->Signal(SIGTERM);
  compositor->Wait(5000);
}

}  // namespace
