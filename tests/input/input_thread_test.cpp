// The input event thread against the fake compositor: first connection,
// retries every 500 ms, reconnection after a disconnect, the stop paths,
// and injection from another thread while it runs.
#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "base/event_fd.h"
#include "input/input.h"
#include "tests/input/input_test_support.h"

namespace {

using inputtest::FakeCompositor;
using inputtest::LogCapture;
using Texts = std::vector<std::string>;

class InputThreadTest : public ::testing::Test {
 protected:
  void SetUp() override { mark_ = LogCapture::Get().Mark(); }
  void TearDown() override {
    StopThread();
    if (compositor_) {
      compositor_->Kill();
      inputtest::DrainDisconnect(injector_);
    }
  }
  void StartCompositor(std::vector<std::string> options = {}) {
    compositor_ = std::make_unique<FakeCompositor>(inputtest::Services(), std::move(options));
    ASSERT_TRUE(compositor_->ok());
  }
  void StartThread() {
    InputWakeFds fds{inputWaker_.get(), disconnect_.get(), captureWaker_.get()};
    ASSERT_TRUE(injector_.StartEventThread(fds));
  }
  // Stops the thread the way the capture event thread does; true when it
  // ended within timeoutMs.
  bool StopThread(int timeoutMs = 3000) {
    if (injector_.EventThreadId() == 0) {
      return true;
    }
    stop_.RequestStop(inputWaker_.get());
    bool ended = LogCapture::Get().WaitFor("SightwellRemote: Input event thread exiting", timeoutMs, mark_);
    injector_.StopEventThread();
    return ended;
  }
  bool WaitEmulating(size_t from, int timeoutMs = 5000) {
    return swtest::WaitFor(
        [&] {
          Texts t = compositor_->Texts(from, {"start-emulating"});
          int n = 0;
          for (const std::string &s : t) {
            n += s.rfind("start-emulating fake keyboard", 0) == 0 ||
                 s.rfind("start-emulating fake absolute pointer", 0) == 0;
          }
          return n >= 2;
        },
        timeoutMs);
  }
  bool KeyArrives(uint16_t key) {
    size_t from = compositor_->EventCount();
    injector_.InjectKeyEvent(key, 1);
    return compositor_->WaitForEvent("key " + std::to_string(key) + " 1", 3000, from);
  }
  size_t Count(const std::string &needle) { return LogCapture::Get().Count(needle, mark_); }

  UniqueFd inputWaker_ = MakeEventFd(EFD_NONBLOCK);
  UniqueFd disconnect_ = MakeEventFd(EFD_NONBLOCK);
  UniqueFd captureWaker_ = MakeEventFd(EFD_NONBLOCK);
  StopToken stop_;
  InputInjector injector_{stop_};
  std::unique_ptr<FakeCompositor> compositor_;
  size_t mark_ = 0;
};

TEST_F(InputThreadTest, ReconnectsAfterDisconnectAndInjectionResumes) {
  StartCompositor();
  StartThread();
  ASSERT_TRUE(WaitEmulating(0));
  EXPECT_EQ(Count("SightwellRemote: Input event thread starting, initializing libEI"), 1u);
  EXPECT_EQ(Count("Initial libEI init failed"), 0u);
  ASSERT_TRUE(KeyArrives(30));

  // A wake without the stop flag is consumed and changes nothing.
  uint64_t one = 1;
  ASSERT_EQ(write(inputWaker_.get(), &one, sizeof one), 8);
  ASSERT_TRUE(KeyArrives(31));

  size_t from = compositor_->EventCount();
  auto disconnectedAt = std::chrono::steady_clock::now();
  ASSERT_TRUE(compositor_->Control("DisconnectClients"));
  ASSERT_TRUE(WaitEmulating(from, 5000));
  auto reconnectMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::steady_clock::now() - disconnectedAt)
                         .count();
  EXPECT_LT(reconnectMs, 1500) << "reconnect took " << reconnectMs << " ms";
  EXPECT_EQ(Count("sightwellInput: EIS disconnected us, will try reconnecting"), 1u);
  EXPECT_EQ(Count("SightwellRemote: Input event thread: disconnect signalled, arming reconnect timer"), 1u);
  EXPECT_EQ(Count("SightwellRemote: Input event thread: reconnect timer fired, attempting Init"), 1u);
  EXPECT_EQ(Count("SightwellRemote: Input event thread: successfully initialized libEI, EIS fd="), 1u);
  // The old session is stopped before the new one is created.
  Texts rd = compositor_->Texts(from, {"rd-stop", "rd-create"});
  ASSERT_EQ(rd.size(), 2u);
  EXPECT_EQ(rd[0], "rd-stop /org/gnome/Mutter/RemoteDesktop/Session/u1");
  EXPECT_EQ(rd[1].rfind("rd-create /org/gnome/Mutter/RemoteDesktop/Session/u2 ", 0), 0u);
  ASSERT_TRUE(KeyArrives(32));

  // Connected again: the timer is off.
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_EQ(Count("reconnect timer fired"), 1u);

  ASSERT_TRUE(StopThread());
  EXPECT_EQ(Count("SightwellRemote: Input event thread received stop signal, exiting"), 1u);
}

TEST_F(InputThreadTest, RefusedAtStartRetriesEvery500msUntilAllowed) {
  StartCompositor({"--rd-refuse-eis"});
  auto started = std::chrono::steady_clock::now();
  StartThread();
  ASSERT_TRUE(LogCapture::Get().WaitFor("reconnect timer fired", 3000, mark_));
  ASSERT_TRUE(swtest::WaitFor([&] { return Count("reconnect timer fired") >= 3; }, 3000));
  auto elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::steady_clock::now() - started)
                       .count();
  EXPECT_GE(elapsedMs, 1400);  // three 500 ms periods
  EXPECT_EQ(Count("SightwellRemote: Input event thread: Initial libEI init failed, will retry every 500ms"), 1u);
  EXPECT_GE(Count("sightwellInput: Failed to connect to EIS: "), 3u);

  ASSERT_TRUE(compositor_->Control("SetRefuseConnectToEIS", g_variant_new("(b)", FALSE)));
  ASSERT_TRUE(WaitEmulating(0, 3000));
  EXPECT_EQ(Count("SightwellRemote: Input event thread: successfully initialized libEI, EIS fd="), 1u);
  ASSERT_TRUE(KeyArrives(44));
  size_t fired = Count("reconnect timer fired");
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_EQ(Count("reconnect timer fired"), fired);
}

TEST_F(InputThreadTest, StopWhileReconnectingEndsTheThread) {
  StartCompositor({"--rd-refuse-eis"});
  StartThread();
  ASSERT_TRUE(LogCapture::Get().WaitFor("Initial libEI init failed", 3000, mark_));
  ASSERT_TRUE(LogCapture::Get().WaitFor("reconnect timer fired", 3000, mark_));
  auto before = std::chrono::steady_clock::now();
  EXPECT_TRUE(StopThread(2000));
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(1500));
  EXPECT_EQ(Count("SightwellRemote: Input event thread received stop signal, exiting"), 1u);
}

TEST_F(InputThreadTest, BurstFromAnotherThreadArrivesCompleteAndInOrder) {
  StartCompositor();
  StartThread();
  ASSERT_TRUE(WaitEmulating(0));
  size_t from = compositor_->EventCount();
  constexpr int kEvents = 6000;
  Texts expected;
  expected.reserve(kEvents * 6);
  for (int i = 0; i < kEvents; i++) {
    if (i % 2 == 0) {
      uint16_t key = static_cast<uint16_t>(1 + (i / 2) % 200);
      uint8_t pressed = (i / 2) % 2 == 0 ? 1 : 0;
      injector_.InjectKeyEvent(key, pressed);
      expected.push_back("key " + std::to_string(key) + " " + std::to_string(pressed));
    } else {
      MouseRecord r{};
      r.x = i % 1280;
      r.y = i % 720;
      injector_.InjectMouseEvent(r);
      expected.push_back("abs " + std::to_string(r.x) + " " + std::to_string(r.y));
    }
    expected.push_back("frame");
  }
  swtest::WaitFor([&] { return compositor_->Texts(from, inputtest::kInputKinds).size() >= expected.size(); },
                  20000);
  Texts got = compositor_->Texts(from, inputtest::kInputKinds);
  ASSERT_EQ(got.size(), expected.size());
  for (size_t i = 0; i < got.size(); i++) {
    ASSERT_EQ(got[i], expected[i]) << "at " << i;
  }
}

}  // namespace
