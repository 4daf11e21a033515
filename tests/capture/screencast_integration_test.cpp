// The screen cast thread of this process against the fake compositor over
// private D-Bus and PipeWire services.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/capture/capture_test_util.h"
#include "tests/capture/screencast_harness.h"
#include "tests/support/compositor_sessions.h"

namespace {

using captest::ScreenCastHarness;
using captest::StderrCapture;

#define REQUIRE_HARNESS(h) ASSERT_TRUE((h).ok()) << (h).error()

TEST(ScreenCast, FramesAndCursorsArriveIntactInOrder) {
  StderrCapture log;
  ScreenCastHarness h({"--sc-width=320", "--sc-height=200", "--sc-fps=60", "--sc-shape-period=10",
                       "--sc-cursor-only-every=7"});
  REQUIRE_HARNESS(h);
  h.Start();
  ASSERT_TRUE(h.WaitFrames(45, 15000)) << log.Text();
  EXPECT_LT(h.Stop(), 1500);
  auto s = h.Stats();
  EXPECT_EQ(s.badSize, 0u);
  EXPECT_EQ(s.badPixels, 0u);
  EXPECT_EQ(s.outOfOrder, 0u);
  EXPECT_EQ(s.lastWidth, 320u);
  EXPECT_EQ(s.lastHeight, 200u);
  // Cursor-only buffers still give cursor updates: more updates than frames.
  EXPECT_GT(s.cursors, s.frames);
  // One bitmap per shape change, position only in between.
  EXPECT_GE(s.cursorBitmapsSent, 3u);
  EXPECT_LE(s.cursorBitmapsSent, s.cursors / 8);
  EXPECT_GT(s.positionOnly, 0u);
  EXPECT_EQ(s.badCursorBitmaps, 0u);
  for (size_t i = 1; i < s.shapeIdsSent.size(); i++) {
    EXPECT_NE(s.shapeIdsSent[i], s.shapeIdsSent[i - 1]);
  }
  std::string mode;
  uint32_t sessions, starts, frames;
  ASSERT_TRUE(h.CompositorStats(&sessions, &starts, &frames, &mode));
  EXPECT_EQ(mode, "2");
  EXPECT_EQ(sessions, 1u);
  const std::string text = log.Text();
  EXPECT_NE(text.find("Session started successfully\n"), std::string::npos);
  EXPECT_NE(text.find("PipeWire stream added! node_id = "), std::string::npos);
  EXPECT_NE(text.find("[Meta-0] stream reached STREAMING state"), std::string::npos);
  EXPECT_EQ(text.find("exited with failure"), std::string::npos);
}

TEST(ScreenCast, PaddedStridesAndPipeWireAllocatedBuffers) {
  for (const char *mode : {"--sc-stride-pad=64", "--sc-memptr"}) {
    ScreenCastHarness h({"--sc-width=100", "--sc-height=60", "--sc-fps=60", "--sc-format=RGBx",
                         mode});
    REQUIRE_HARNESS(h);
    h.Start();
    EXPECT_TRUE(h.WaitFrames(10, 10000)) << mode;
    h.Stop();
    auto s = h.Stats();
    EXPECT_EQ(s.badPixels, 0u) << mode;
    EXPECT_EQ(s.badSize, 0u) << mode;
    EXPECT_EQ(s.lastWidth, 100u) << mode;
  }
}

TEST(ScreenCast, ClosedBeforeAndAfterTheNodeIdRetries) {
  {
    StderrCapture log;
    ScreenCastHarness h({"--sc-close-after-frames=0", "--sc-close-sessions=1", "--sc-fps=60"});
    REQUIRE_HARNESS(h);
    h.Start();
    EXPECT_TRUE(h.WaitFrames(5, 10000));
    h.Stop();
    const std::string text = log.Text();
    EXPECT_NE(text.find("Mutter closed the ScreenCast session\n"), std::string::npos);
    EXPECT_NE(text.find("No node_id received, exiting screen cast thread\n"), std::string::npos);
    EXPECT_NE(text.find("Screen cast thread for connector Meta-0 exited with failure\n"),
              std::string::npos);
  }
  {
    StderrCapture log;
    ScreenCastHarness h({"--sc-close-after-frames=8", "--sc-close-sessions=2", "--sc-fps=60"});
    REQUIRE_HARNESS(h);
    h.Start();
    uint32_t sessions = 0, starts, frames;
    EXPECT_TRUE(swtest::WaitFor(
        [&] { return h.CompositorStats(&sessions, &starts, &frames) && sessions >= 3; }, 15000))
        << log.Text();
    EXPECT_TRUE(h.WaitFrames(20, 10000));
    h.Stop();
    const std::string text = log.Text();
    EXPECT_GE(log.Count("[Meta-0] stream closed by compositor \u2014 will retry\n"), 2u);
    // Attempts that reached the poll loop retry without the failure pause.
    EXPECT_EQ(text.find("exited with failure"), std::string::npos);
    EXPECT_EQ(h.Stats().badPixels, 0u);
  }
}

// A source offering only a 3-byte format cannot link to the stream (PipeWire
// finds no common format), so no format ever reaches the agent: nothing is
// delivered and a stop still ends the attempt. The rejection of a negotiated
// non-4-byte format itself is covered by the unit tests.
TEST(ScreenCast, SourceWithoutFourByteFormatDeliversNothingAndStops) {
  StderrCapture log;
  ScreenCastHarness h({"--sc-format=RGB"});
  REQUIRE_HARNESS(h);
  h.Start();
  EXPECT_TRUE(swtest::WaitFor(
      [&] { return log.Contains("Connecting to stream over nodeId: "); }, 10000));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_LT(h.Stop(), 1500);
  EXPECT_EQ(h.Stats().frames, 0u);
  EXPECT_FALSE(log.Contains("on_param_changed[Meta-0] width:"));
}

TEST(ScreenCast, ResizeMidStream) {
  ScreenCastHarness h({"--sc-width=320", "--sc-height=240", "--sc-fps=60", "--sc-resize-after=15",
                       "--sc-resize-to=160x100"});
  REQUIRE_HARNESS(h);
  h.Start();
  EXPECT_TRUE(swtest::WaitFor([&] { return h.Stats().lastWidth == 160; }, 10000));
  uint32_t before = h.Stats().frames;
  EXPECT_TRUE(h.WaitFrames(before + 10, 10000));
  h.Stop();
  auto s = h.Stats();
  ASSERT_GE(s.sizes.size(), 2u);
  EXPECT_EQ(s.sizes.front(), std::make_pair(320u, 240u));
  EXPECT_EQ(s.sizes.back(), std::make_pair(160u, 100u));
  EXPECT_EQ(s.badSize, 0u);
  EXPECT_EQ(s.badPixels, 0u);
}

TEST(ScreenCast, SlowConsumerDropsNewestWithoutStallingTheWorker) {
  StderrCapture log;
  ScreenCastHarness h({"--sc-width=64", "--sc-height=64", "--sc-fps=100", "--sc-no-cursor"});
  REQUIRE_HARNESS(h);
  h.SetConsumerDelay(100);
  h.Start();
  EXPECT_TRUE(h.WaitFrames(8, 10000));
  h.SetConsumerDelay(0);
  EXPECT_TRUE(log.Contains("Dropping frame for connector Meta-0 due to full queue\n"));
  uint32_t before = h.Stats().frames;
  EXPECT_TRUE(h.WaitFrames(before + 50, 5000));  // back at full rate at once
  h.Stop();
  EXPECT_EQ(h.Stats().outOfOrder, 0u);
  EXPECT_EQ(h.Stats().badPixels, 0u);
}

TEST(ScreenCast, MalformedBuffersAreDropped) {
  struct Case {
    const char *fault;
    const char *line;
  } cases[] = {
      {"chunk-oob", "chunk bounds check failed"},
      {"short-stride", "invalid stride/dimensions"},
      {"short-chunk", "frame data too short"},
      {"cursor-oob", "Sightwell: cursor bitmap pixel data out of bounds"},
  };
  for (const Case &c : cases) {
    StderrCapture log;
    ScreenCastHarness h({"--sc-width=64", "--sc-height=32", "--sc-fps=60",
                         std::string("--sc-") + c.fault});
    REQUIRE_HARNESS(h);
    h.Start();
    EXPECT_TRUE(swtest::WaitFor([&] { return log.Contains(c.line); }, 10000)) << c.fault;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    auto s = h.Stats();
    if (std::string(c.fault) == "cursor-oob") {
      EXPECT_GT(s.frames, 0u);
      EXPECT_GT(s.cursors, 0u);
      EXPECT_EQ(s.cursorBitmapsSent, 0u);
    } else {
      EXPECT_EQ(s.frames, 0u) << c.fault;
    }
    // Healing the stream brings frames back within the same attempt.
    ASSERT_TRUE(h.Control("SetFault", g_variant_new("(sb)", c.fault, FALSE)));
    EXPECT_TRUE(h.WaitFrames(s.frames + 5, 5000)) << c.fault;
    EXPECT_EQ(h.Stats().badPixels, 0u);
    h.Stop();
  }
}

TEST(ScreenCast, StopEndsEveryPhaseCleanly) {
  {  // while retrying after refused Start calls
    StderrCapture log;
    ScreenCastHarness h({"--sc-refuse-start"});
    REQUIRE_HARNESS(h);
    h.Start();
    EXPECT_TRUE(swtest::WaitFor([&] { return log.Count("Failed to start session\n") >= 2; }, 10000));
    EXPECT_LT(h.Stop(), 1500);
    EXPECT_TRUE(log.Contains("No node_id received, exiting screen cast thread\n"));
  }
  {  // while the session phase waits for the node id
    StderrCapture log;
    ScreenCastHarness h({"--sc-withhold-node"});
    REQUIRE_HARNESS(h);
    h.Start();
    EXPECT_TRUE(swtest::WaitFor([&] { return log.Contains("Session started successfully\n"); },
                                10000));
    EXPECT_LT(h.Stop(), 1500);
  }
  {  // while streaming, and while a stalled producer sends nothing
    ScreenCastHarness h({"--sc-fps=60", "--sc-stop-producing-after=5"});
    REQUIRE_HARNESS(h);
    h.Start();
    EXPECT_TRUE(h.WaitFrames(3, 10000));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LT(h.Stop(), 1500);
  }
}

}  // namespace

namespace {

// Names of this process's threads, sorted (a name may repeat).
std::vector<std::string> ThreadNames() {
  std::vector<std::string> names;
  if (DIR *dir = opendir("/proc/self/task")) {
    while (dirent *entry = readdir(dir)) {
      if (entry->d_name[0] == '.') continue;
      std::string comm =
          swtest::ReadFile(std::string("/proc/self/task/") + entry->d_name + "/comm");
      names.push_back(comm.substr(0, comm.find('\n')));
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

// A stop ends every thread that PipeWire started for the stream, also the
// context's data loop, so the library can be unloaded afterwards without a
// thread still running inside it.
TEST(ScreenCast, StopLeavesNoPipeWireThreadBehind) {
  ScreenCastHarness h({"--sc-fps=60"});
  REQUIRE_HARNESS(h);
  const std::vector<std::string> before = ThreadNames();
  h.Start();
  ASSERT_TRUE(h.WaitFrames(5, 10000));
  EXPECT_GT(ThreadNames().size(), before.size() + 2);  // capture, consumer, PipeWire's
  h.Stop();
  EXPECT_EQ(ThreadNames(), before);
}

// A node that goes away while its session stays and nothing is said on the
// bus (the producer vanished) ends the attempt; a new one captures again,
// and the abandoned session is stopped rather than left behind.
TEST(ScreenCast, AVanishedProducerIsNoticedAndReplaced) {
  StderrCapture log;
  ScreenCastHarness h({"--sc-fps=60"});
  REQUIRE_HARNESS(h);
  h.Start();
  ASSERT_TRUE(h.WaitFrames(5, 10000)) << log.Text();
  ASSERT_TRUE(h.Control("DropNodes", nullptr));
  ASSERT_TRUE(swtest::WaitFor([&] { return log.Contains("went away"); }, 10000)) << log.Text();
  const uint32_t before = h.Stats().frames;
  EXPECT_TRUE(h.WaitFrames(before + 20, 15000)) << log.Text();
  uint32_t sessions = 0, starts, frames;
  ASSERT_TRUE(h.CompositorStats(&sessions, &starts, &frames));
  EXPECT_EQ(sessions, 2u);
  EXPECT_EQ(swtest::CountCompositorSessions(getenv("DBUS_SESSION_BUS_ADDRESS"),
                                            "org.gnome.Mutter.ScreenCast",
                                            "/org/gnome/Mutter/ScreenCast/Session"),
            1);
  h.Stop();
  EXPECT_EQ(h.Stats().badPixels, 0u);
}
