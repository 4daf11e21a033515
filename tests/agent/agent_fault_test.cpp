// The real agent on the paths a healthy session never takes: a format change
// while the parent reads slowly, a parent that stops reading, and an error
// stop noticed in the middle of the parent's input.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "tests/agent/agent_harness.h"
#include "tests/support/fake_control.h"
#include "tests/support/process.h"

namespace {

using swagent::AgentRun;

constexpr int kGreetMs = 5000;
constexpr int kReplyMs = 5000;
constexpr int kExitMs = 15000;
constexpr int kFramesMs = 20000;

const char kNoBus[] = "unix:path=/nonexistent/sightwell-test-bus";

// Private services, the fake compositor on them and the agent under the
// reference parent.
class AgentFault : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(services_.ok()) << services_.error(); }
  void TearDown() override {
    if (compositor_ && compositor_->Running()) {
      compositor_->Signal(SIGTERM);
      compositor_->Wait(5000);
    }
  }

  void StartCompositor(const std::vector<std::string> &args) {
    compositor_ = swtest::StartFakeCompositor(services_, args);
    ASSERT_TRUE(compositor_);
    control_ = std::make_unique<swtest::FakeControl>(services_);
    ASSERT_TRUE(control_->ok());
  }

  bool ScreenControl(const char *method, GVariant *args) {
    std::string error;
    bool ok = control_->Call(swtest::FakeService::kScreenCast, method, args, &error);
    EXPECT_TRUE(ok) << method << ": " << error;
    return ok;
  }

  // Starts the agent and a capture on the private session; true once the
  // start was echoed.
  bool StartCapture(AgentRun &run, const std::string &busAddress) {
    if (!run.Start() || run.WaitGreeting(kGreetMs) == 0) return false;
    if (!run.parent().WriteSessionFiles(busAddress, services_.Get("XDG_RUNTIME_DIR"), getuid()) ||
        !run.parent().SendCaptureStart("Meta-0")) {
      return false;
    }
    auto echo = run.parent().WaitControlRecord(REMOTE_CAPTURE_START, kReplyMs);
    return echo && echo->status == CHANNEL_STATUS_SUCCESS;
  }

  swtest::TestServices services_;
  std::unique_ptr<swtest::Process> compositor_;
  std::unique_ptr<swtest::FakeControl> control_;
};

// Frames wait in the agent's queue while the parent does not read; the
// stream then changes size twice. The waiting frames had the old size and
// are dropped: the parent sees whole frames of the old size, then whole
// frames of the new one, never a record without its pixels.
TEST_F(AgentFault, AFormatChangeUnderASlowParentSendsNoEmptyFrameRecord) {
  StartCompositor({"--sc-width=320", "--sc-height=240", "--sc-fps=60"});
  AgentRun run;
  std::atomic<uint32_t> portrait{0}, landscapeAfter{0}, otherSizes{0};
  std::atomic<bool> rotated{false};
  run.parent().OnFrame([&](const swparent::Frame &f) {
    if (f.width == 240 && f.height == 320) {
      portrait++;
    } else if (f.width == 320 && f.height == 240) {
      if (rotated.load() && portrait.load() > 0) landscapeAfter++;
    } else {
      otherSizes++;
    }
  });
  ASSERT_TRUE(StartCapture(run, services_.Get("DBUS_SESSION_BUS_ADDRESS"))) << run.Log();
  ASSERT_TRUE(swtest::WaitFor([&] { return run.parent().GetSummary().frames >= 10; }, kFramesMs))
      << run.Log();

  for (auto size : {std::make_pair(240u, 320u), std::make_pair(320u, 240u)}) {
    // A full queue behind a blocked write: three frames wait.
    const char kDropped[] = "Dropping frame for connector Meta-0 due to full queue";
    const size_t dropped = run.CountLog(kDropped);
    run.parent().PauseControlReading(true);
    ASSERT_TRUE(swtest::WaitFor([&] { return run.CountLog(kDropped) > dropped; }, kFramesMs))
        << run.Log();
    const std::string changed = "on_param_changed[Meta-0] width: " +
                                std::to_string(size.first) + " height: " +
                                std::to_string(size.second);
    const size_t before = run.CountLog(changed);
    ASSERT_TRUE(ScreenControl("Resize", g_variant_new("(uu)", size.first, size.second)));
    ASSERT_TRUE(swtest::WaitFor([&] { return run.CountLog(changed) > before; }, kFramesMs))
        << run.Log();
    rotated.store(true);
    run.parent().PauseControlReading(false);
    if (size.first == 240) {
      ASSERT_TRUE(swtest::WaitFor([&] { return portrait.load() >= 5; }, kFramesMs)) << run.Log();
    } else {
      ASSERT_TRUE(swtest::WaitFor([&] { return landscapeAfter.load() >= 5; }, kFramesMs))
          << run.Log();
    }
  }

  ASSERT_TRUE(run.parent().SendStop());
  EXPECT_EQ(run.Wait(kExitMs), 0) << run.Log();
  swparent::Summary s = run.parent().GetSummary();
  EXPECT_EQ(s.emptyFrames, 0u);
  EXPECT_EQ(s.malformed, 0u) << s.firstMalformed;
  EXPECT_EQ(s.frameOrderErrors, 0u);
  EXPECT_EQ(otherSizes.load(), 0u);
}

// The parent stops reading in the middle of the frame stream, so the agent
// is blocked in a frame write, and then sends REMOTE_STOP, or a command the
// agent does not know (a fatal error, reported with a REMOTE_ERROR that has
// to wait behind that write). Either way the agent gives the write up after
// a bounded wait and ends with the command's status.
TEST_F(AgentFault, AParentThatStopsReadingCannotKeepTheAgentFromStopping) {
  StartCompositor({"--sc-width=320", "--sc-height=240", "--sc-fps=60"});
  for (uint32_t command : {static_cast<uint32_t>(REMOTE_STOP), 42u}) {
    SCOPED_TRACE("command " + std::to_string(command));
    AgentRun run;
    ASSERT_TRUE(StartCapture(run, services_.Get("DBUS_SESSION_BUS_ADDRESS"))) << run.Log();
    ASSERT_TRUE(
        swtest::WaitFor([&] { return run.parent().GetSummary().frames >= 5; }, kFramesMs))
        << run.Log();
    run.parent().PauseControlReading(true);
    ASSERT_TRUE(run.WaitLog("Dropping frame for connector Meta-0 due to full queue", kFramesMs))
        << run.Log();

    ASSERT_TRUE(run.parent().Send(swparent::MakeRecord(command)));
    EXPECT_EQ(run.Wait(kExitMs), command == REMOTE_STOP ? 0 : 1) << run.Log();
    std::string log = run.Log();
    EXPECT_NE(log.find("SightwellRemote: Capture event thread still busy 2000 ms after the stop "
                       "(parent not reading?), shutting down the control socket"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("SightwellRemote: Capture event thread exiting"), std::string::npos);
    EXPECT_EQ(log.find("SightwellRemote: REMOTE_STOP processed, exiting remote routine cleanly") !=
                  std::string::npos,
              command == REMOTE_STOP);
    // What was sent before the write was given up is still whole frames.
    run.parent().PauseControlReading(false);
    EXPECT_TRUE(swtest::WaitFor([&] { return run.parent().ControlClosedByAgent(); }, kReplyMs));
    EXPECT_EQ(run.parent().GetSummary().frameOrderErrors, 0u);
  }
}

// Sends mouse records as fast as the socket takes them until stopped, so
// the routine is nearly always dispatching one when something else happens.
class MouseStream {
 public:
  // Starts sending after delay.
  MouseStream(swparent::Parent &parent, std::chrono::milliseconds delay)
      : thread_([this, &parent, delay] {
          auto start = std::chrono::steady_clock::now() + delay;
          while (!stop_.load() && std::chrono::steady_clock::now() < start) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
          }
          for (int32_t i = 0; !stop_.load(); i++) {
            if (!parent.SendMouse(i % 640, i % 480, 0, 0, 0)) break;
            sent_++;
          }
        }) {}
  ~MouseStream() { Stop(); }
  void Stop() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
  }
  uint64_t sent() const { return sent_.load(); }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> sent_{0};
  std::thread thread_;
};

// The session bus never answers, so the capture event thread gives up after
// 3 s and stops the agent with an error, while the routine is busy with the
// parent's pointer records. However the stop is noticed, it ends as an
// error stop: status 1, the error line, and never the line of a REMOTE_STOP
// the parent did not send.
TEST_F(AgentFault, AnErrorStopNoticedWhileDispatchingInputIsNotReportedAsAStop) {
  AgentRun run;
  // Every record logs that no pointer exists yet: the log must keep the
  // lines that matter, and the stream starts shortly before the time-out.
  run.AddPreference("sightwell.log.throttleBytesPerSec", "-1");
  ASSERT_TRUE(StartCapture(run, kNoBus)) << run.Log();
  MouseStream mouse(run.parent(), std::chrono::milliseconds(2800));
  auto status = run.Wait(kExitMs);
  mouse.Stop();
  EXPECT_GT(mouse.sent(), 0u);
  EXPECT_EQ(status, 1) << run.Log();
  std::string log = run.Log();
  EXPECT_NE(log.find("SightwellRemote: Timeout waiting for DBus connection after 3 seconds, aborting"),
            std::string::npos);
  EXPECT_NE(log.find("SightwellRemote: Remote routine received stop signal due to error, "
                     "exiting with error code"),
            std::string::npos);
  EXPECT_EQ(log.find("REMOTE_STOP processed"), std::string::npos);
}

}  // namespace
