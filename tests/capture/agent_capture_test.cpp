// The real agent captures the fake compositor's stream and delivers it to
// the reference parent: frames intact and in order, cursor bitmaps once per
// shape, a static screen's only frame, and a stop that ends the agent cleanly.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/test_env.h"
#include "tools/fake-compositor/screencast_scene.h"
#include "tools/sightwell-parent/frame_stamp.h"
#include "tools/sightwell-parent/parent.h"

namespace {

// Starts the agent for parent (environment from options, card added) and has
// it capture Meta-0; null, with the failure recorded, when the agent does not
// connect or does not accept the start.
std::unique_ptr<swtest::Process> StartCapturingAgent(const swtest::TestServices &services,
                                                     swparent::Parent &parent,
                                                     swtest::Process::Options options = {}) {
  for (const auto &entry : services.env()) {
    options.env.emplace(entry.first, entry.second);
  }
  options.env["QUILLWORKER_CARD"] = parent.card();
  auto agent = swtest::Process::Spawn({swtest::AgentBinary()}, options);
  if (!agent || parent.WaitForControl(10000) == 0 ||
      // The greeting may be seen a moment before the connection takes commands.
      !swtest::WaitFor([&] { return parent.HasControl(); }, 5000) ||
      !parent.SendCaptureStart("Meta-0")) {
    ADD_FAILURE() << "the agent did not connect";
    return nullptr;
  }
  auto echo = parent.WaitControlRecord(REMOTE_CAPTURE_START, 10000);
  if (!echo || echo->status != CHANNEL_STATUS_SUCCESS) {
    ADD_FAILURE() << "capture start not accepted";
    return nullptr;
  }
  return agent;
}

TEST(AgentCapture, FramesAndCursorShapesReachTheParent) {
  swtest::TestServices services;
  ASSERT_TRUE(services.ok()) << services.error();
  auto compositor = swtest::StartFakeCompositor(
      services, {"--sc-width=200", "--sc-height=120", "--sc-fps=60", "--sc-stride-pad=32",
                 "--sc-shape-period=15", "--sc-cursor-only-every=5"});
  ASSERT_TRUE(compositor);

  swparent::Parent parent(swtest::UniqueCardName());
  ASSERT_TRUE(parent.Listen());
  ASSERT_TRUE(parent.WriteSessionFiles(services.Get("DBUS_SESSION_BUS_ADDRESS"),
                                       services.Get("XDG_RUNTIME_DIR"), getuid()));
  std::atomic<uint32_t> badFrames{0};
  parent.OnFrame([&](const swparent::Frame &f) {
    auto stamp = swstamp::Read(f.pixels.data(), f.pixels.size());
    bool good = stamp && f.width == 200 && f.height == 120 && f.pixels.size() == 200u * 120 * 4;
    const auto *px = reinterpret_cast<const uint32_t *>(f.pixels.data());
    for (uint32_t y = 0; good && y < f.height; y++) {
      for (uint32_t x = (y == 0 ? 4 : 0); x < f.width; x++) {
        if (px[size_t{y} * f.width + x] != fakescene::Pixel(x, y, stamp->counter)) {
          good = false;
          break;
        }
      }
    }
    if (!good) badFrames++;
  });
  auto agent = StartCapturingAgent(services, parent);
  ASSERT_TRUE(agent);
  ASSERT_TRUE(swtest::WaitFor([&] { return parent.GetSummary().frames >= 60; }, 20000))
      << agent->Stderr();

  parent.SendStop();
  auto status = agent->Wait(10000);
  ASSERT_TRUE(status);
  EXPECT_EQ(*status, 0);

  swparent::Summary s = parent.GetSummary();
  EXPECT_EQ(badFrames.load(), 0u);
  EXPECT_EQ(s.frameOrderErrors, 0u);
  EXPECT_EQ(s.malformed, 0u) << s.firstMalformed;
  EXPECT_GT(s.cursorUpdates, s.frames);  // cursor-only buffers count too
  // A bitmap travels once per shape; the updates in between carry none.
  EXPECT_GE(s.cursorBitmaps, 3u);
  EXPECT_LE(s.cursorBitmaps, s.cursorUpdates / 10);
  uint32_t lastId = 0;
  for (const swparent::CursorRecord &r : parent.CursorRecords()) {
    if (r.record.cursorBytes == 0) continue;
    const uint32_t shape = r.record.cursorId - 1;
    ASSERT_LT(shape, fakescene::kCursorShapeCount);
    EXPECT_NE(r.record.cursorId, lastId);
    lastId = r.record.cursorId;
    EXPECT_EQ(r.record.cursorWidth, fakescene::kCursorShapes[shape].width);
    EXPECT_EQ(r.record.cursorHotX, fakescene::kCursorShapes[shape].hotspotX);
    if (!r.bitmap.empty()) {
      ASSERT_EQ(r.bitmap.size(), r.record.cursorBytes);
      for (size_t i = 0; i < r.bitmap.size(); i++) {
        ASSERT_EQ(r.bitmap[i], fakescene::CursorByte(shape, static_cast<uint32_t>(i)));
      }
    }
  }
  compositor->Signal(SIGTERM);
  compositor->Wait(5000);
}

// GNOME Mutter offers BGRx and BGRA, a fixed 589872-byte cursor metadata
// entry, one cursor id for every shape and a bitmap only where the shape
// changes: the agent must link, deliver frames and pass each shape on once.
TEST(AgentCapture, AMutterLikeSourceDeliversFramesAndEachNewShapeOnce) {
  swtest::TestServices services;
  ASSERT_TRUE(services.ok()) << services.error();
  auto compositor = swtest::StartFakeCompositor(
      services, {"--sc-like-mutter", "--sc-width=160", "--sc-height=96", "--sc-fps=60",
                 "--sc-shape-period=10"});
  ASSERT_TRUE(compositor);

  swparent::Parent parent(swtest::UniqueCardName());
  ASSERT_TRUE(parent.Listen());
  ASSERT_TRUE(parent.WriteSessionFiles(services.Get("DBUS_SESSION_BUS_ADDRESS"),
                                       services.Get("XDG_RUNTIME_DIR"), getuid()));
  auto agent = StartCapturingAgent(services, parent);
  ASSERT_TRUE(agent);
  ASSERT_TRUE(swtest::WaitFor([&] { return parent.GetSummary().frames >= 60; }, 20000))
      << agent->Stderr();
  parent.SendStop();
  auto status = agent->Wait(10000);
  ASSERT_TRUE(status);
  EXPECT_EQ(*status, 0);

  swparent::Summary s = parent.GetSummary();
  EXPECT_EQ(s.malformed, 0u) << s.firstMalformed;
  EXPECT_EQ(s.frameOrderErrors, 0u);
  auto frame = parent.LastFrame();
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->width, 160u);
  EXPECT_EQ(frame->height, 96u);
  // Cursor metadata arrived at all only if the agent accepted Mutter's size.
  ASSERT_GE(s.cursorUpdates, 60u);
  std::vector<uint32_t> widths;
  for (const swparent::CursorRecord &r : parent.CursorRecords()) {
    EXPECT_EQ(r.record.cursorId, 1u);
    if (r.record.cursorBytes != 0) {
      widths.push_back(r.record.cursorWidth);
    }
  }
  // The shapes cycle 16, 24, 32 pixels wide; each change carries one bitmap
  // and no two bitmaps in a row show the same shape.
  ASSERT_GE(widths.size(), 3u);
  EXPECT_LE(widths.size(), s.cursorUpdates / 5);
  for (size_t i = 1; i < widths.size(); i++) {
    EXPECT_NE(widths[i], widths[i - 1]) << "bitmap " << i << " repeats its shape";
  }
  compositor->Signal(SIGTERM);
  compositor->Wait(5000);
}

// A static screen: the compositor draws one frame when the stream starts and
// nothing after it until something changes. That one frame is all the parent
// will see, so it must arrive every time, whichever of the agent's threads or
// the link happens to be ready first.
TEST(AgentCapture, AStaticScreensOnlyFrameReachesTheParentEveryTime) {
  swtest::TestServices services;
  ASSERT_TRUE(services.ok()) << services.error();
  auto compositor = swtest::StartFakeCompositor(
      services, {"--sc-width=160", "--sc-height=96", "--sc-fps=0"});
  ASSERT_TRUE(compositor);

  constexpr int kRounds = 20;
  int missing = 0;
  for (int round = 0; round < kRounds; round++) {
    swparent::Parent parent(swtest::UniqueCardName());
    ASSERT_TRUE(parent.Listen());
    ASSERT_TRUE(parent.WriteSessionFiles(services.Get("DBUS_SESSION_BUS_ADDRESS"),
                                         services.Get("XDG_RUNTIME_DIR"), getuid()));
    std::string home = swtest::MakeTempDir("sw-static");
    mkdir((home + "/.velmora").c_str(), 0700);
    swtest::WriteFile(home + "/.velmora/config",
                      "sightwell.log.fileName = \"" + home + "/agent.log\"\n");
    swtest::Process::Options aopts;
    aopts.env["HOME"] = home;
    auto agent = StartCapturingAgent(services, parent, aopts);
    ASSERT_TRUE(agent);
    const bool gotFrame =
        swtest::WaitFor([&] { return parent.GetSummary().frames > 0; }, 8000);
    if (!gotFrame) {
      missing++;
      ADD_FAILURE() << "round " << round << ": no frame (log in " << home << ")";
    }
    parent.SendStop();
    auto status = agent->Wait(10000);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, 0);
    if (gotFrame) {
      std::filesystem::remove_all(home);  // kept only for a round that failed
    }
    auto frame = parent.LastFrame();
    if (frame) {
      EXPECT_EQ(frame->width, 160u);
      EXPECT_EQ(frame->height, 96u);
    }
  }
  EXPECT_EQ(missing, 0) << "of " << kRounds << " rounds";
  compositor->Signal(SIGTERM);
  compositor->Wait(5000);
}

}  // namespace
