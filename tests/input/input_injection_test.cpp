// Injection and device tracking against the fake compositor's libeis
// server, driven in-process: Init, HandleEvents and the injections.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "input/input.h"
#include "input/input_state.h"
#include "tests/input/input_test_support.h"

namespace {

using inputtest::FakeCompositor;
using inputtest::LogCapture;
using Texts = std::vector<std::string>;

MouseRecord Mouse(int32_t x, int32_t y, uint32_t buttons, int8_t wheel = 0, int8_t hwheel = 0) {
  MouseRecord r{};
  r.x = x;
  r.y = y;
  r.buttons = buttons;
  r.wheel = wheel;
  r.hwheel = hwheel;
  return r;
}

class InjectionTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (compositor_) {
      compositor_->Kill();
      inputtest::DrainDisconnect(injector_);
    }
  }
  void Start(std::vector<std::string> options = {}) {
    compositor_ = std::make_unique<FakeCompositor>(inputtest::Services(), std::move(options));
    ASSERT_TRUE(compositor_->ok());
    ASSERT_TRUE(inputtest::ConnectAndWaitForDevices(*compositor_, injector_));
  }
  void Inject(const MouseRecord &record) { injector_.InjectMouseEvent(record); }
  void Key(uint16_t vscancode, uint8_t pressed) { injector_.InjectKeyEvent(vscancode, pressed); }
  // Input events the server recorded from `from` on, waiting until the
  // last expected one arrived.
  Texts InputSince(size_t from, size_t expected) {
    swtest::WaitFor([&] { return compositor_->Texts(from, inputtest::kInputKinds).size() >= expected; },
                    3000);
    return compositor_->Texts(from, inputtest::kInputKinds);
  }

  StopToken stop_;
  InputInjector injector_{stop_};
  InputState &state_ = injector_.state();
  // Declared last: killed (its connection drained) before the injector goes.
  std::unique_ptr<FakeCompositor> compositor_;
};

TEST_F(InjectionTest, KeysMapThroughSetOneAndTheExtendedTable) {
  Start();
  size_t mark = LogCapture::Get().Mark();
  size_t from = compositor_->EventCount();
  for (uint16_t vs : {30, 0x11C, 0x137, 0x15D}) {
    Key(vs, 1);
    Key(vs, 0);
  }
  Key(0x100, 1);
  Key(0x15E, 0);
  Key(0x11E, 1);  // inside the range, no row
  // A marker after the refused ones proves they sent nothing.
  Key(1, 1);
  Texts expected = {"key 30 1",  "frame", "key 30 0",  "frame", "key 96 1",  "frame",
                    "key 96 0",  "frame", "key 210 1", "frame", "key 210 0", "frame",
                    "key 139 1", "frame", "key 139 0", "frame", "key 1 1",   "frame"};
  EXPECT_EQ(InputSince(from, expected.size()), expected);
  EXPECT_EQ(LogCapture::Get().Count("sightwellInput: Unmapped VScancode 256, cannot inject key event", mark), 1u);
  EXPECT_EQ(LogCapture::Get().Count("sightwellInput: Unmapped VScancode 350, cannot inject key event", mark), 1u);
  EXPECT_EQ(LogCapture::Get().Count("sightwellInput: Unmapped VScancode 286, cannot inject key event", mark), 1u);
}

TEST_F(InjectionTest, MouseSendsButtonsOnlyOnChangeOrWheel) {
  Start();
  size_t from = compositor_->EventCount();

  // Motion alone: motion and frame, no buttons.
  MouseRecord r = Mouse(10, 20, 0);
  Inject(r);
  r = Mouse(11, 21, 0);
  Inject(r);
  // A wheel of -1: all three buttons, then scroll (0, -1).
  r = Mouse(12, 22, 0, -1);
  Inject(r);
  // Middle held, then left pressed too: left, middle, right order; mask 5.
  r = Mouse(13, 23, 4);
  Inject(r);
  r = Mouse(14, 24, 5);
  Inject(r);
  EXPECT_EQ(state_.lastButtonMask, 5);
  EXPECT_EQ(state_.lastButtons, 5);
  // Sideways wheel: scroll (hwheel, wheel) unscaled.
  r = Mouse(15, 25, 5, 0, 3);
  Inject(r);

  Texts expected = {
      "abs 10 20", "frame",
      "abs 11 21", "frame",
      "abs 12 22", "button 272 0", "button 274 0", "button 273 0", "scroll 0 -1", "frame",
      "abs 13 23", "button 272 0", "button 274 1", "button 273 0", "frame",
      "abs 14 24", "button 272 1", "button 274 1", "button 273 0", "frame",
      "abs 15 25", "button 272 1", "button 274 1", "button 273 0", "scroll 3 0", "frame"};
  EXPECT_EQ(InputSince(from, expected.size()), expected);
}

TEST_F(InjectionTest, HighButtonBitsSendTheThreeStatesEveryTime) {
  Start();
  size_t from = compositor_->EventCount();
  MouseRecord r = Mouse(1, 1, 0x10002);  // right plus a bit above 15
  Inject(r);
  Inject(r);
  EXPECT_EQ(state_.lastButtons, 2);
  EXPECT_EQ(state_.lastButtonMask, 2);
  Texts once = {"abs 1 1", "button 272 0", "button 274 0", "button 273 1", "frame"};
  Texts expected = once;
  expected.insert(expected.end(), once.begin(), once.end());
  EXPECT_EQ(InputSince(from, expected.size()), expected);
}

// Records that come before the devices (the parent starts typing as soon as
// capture has started) are kept in order and sent once the devices
// emulate; the missing device is logged once, not per record.
TEST_F(InjectionTest, EventsBeforeAnyDeviceAreKeptAndSentOnceTheDevicesEmulate) {
  size_t mark = LogCapture::Get().Mark();
  MouseRecord press = Mouse(5, 5, 1);
  Inject(press);
  Key(30, 1);
  Key(30, 0);
  MouseRecord release = Mouse(6, 6, 0);
  Inject(release);
  EXPECT_EQ(LogCapture::Get().Count(
                "sightwellInput: Absolute pointer device not initialized, cannot inject mouse event", mark),
            1u);
  EXPECT_EQ(LogCapture::Get().Count(
                "sightwellInput: Keyboard device not initialized, cannot inject key event", mark),
            1u);
  EXPECT_EQ(state_.lastButtons, 0);

  compositor_ = std::make_unique<FakeCompositor>(inputtest::Services());
  ASSERT_TRUE(compositor_->ok());
  ASSERT_TRUE(inputtest::ConnectAndWaitForDevices(*compositor_, injector_));
  Texts early = {"abs 5 5",  "button 272 1", "button 274 0", "button 273 0", "frame",
                 "key 30 1", "frame",        "key 30 0",     "frame",        "abs 6 6",
                 "button 272 0", "button 274 0", "button 273 0", "frame"};
  EXPECT_EQ(InputSince(0, early.size()), early);
  EXPECT_EQ(state_.lastButtons, 0);
  EXPECT_EQ(LogCapture::Get().Count("sightwellInput: Sent 4 input events that waited for the devices", mark),
            1u);

  // Later input goes straight out behind it.
  Key(2, 1);
  early.insert(early.end(), {"key 2 1", "frame"});
  EXPECT_EQ(InputSince(0, early.size()), early);
}

TEST_F(InjectionTest, TracksSeatsDevicesAndRemoval) {
  size_t mark = LogCapture::Get().Mark();
  Start({"--eis-relative-pointer", "--eis-touch", "--eis-keymap", "--eis-second-seat",
         "--eis-width=1024", "--eis-height=768"});
  inputtest::Pump(
      injector_, [&] { return state_.ptr != nullptr && state_.touch != nullptr; }, 3000);
  ASSERT_NE(state_.ptr, nullptr);
  ASSERT_NE(state_.touch, nullptr);
  LogCapture &log = LogCapture::Get();
  EXPECT_EQ(log.Count("sightwellInput: Seat added: seat0", mark), 1u);
  EXPECT_EQ(log.Count("sightwellInput: Ignoring additional seat", mark), 1u);
  EXPECT_EQ(log.Count("sightwellInput: New keyboard device: fake keyboard", mark), 1u);
  EXPECT_EQ(log.Count("sightwellInput: libEI keymap type 1", mark), 1u);
  EXPECT_EQ(log.Count("sightwellInput: fake absolute pointer has region 1024x768@0,0", mark), 1u);
  EXPECT_EQ(log.Count("sightwellInput: fake touchscreen has region 1024x768@0,0", mark), 1u);
  EXPECT_EQ(log.Count("sightwellInput: Keyboard device resumed", mark), 1u);
  EXPECT_EQ(log.Count("sightwellInput: Touch device resumed", mark), 1u);
  // Only seat0 was bound: the second seat's devices never came.
  EXPECT_EQ(compositor_->Texts(0, {"seat-bind"}).size(), 1u);

  mark = log.Mark();
  GVariant *reply = nullptr;
  ASSERT_TRUE(compositor_->Control("RemoveDevice", g_variant_new("(s)", "keyboard"), &reply));
  g_variant_unref(reply);
  inputtest::Pump(injector_, [&] { return state_.kbd == nullptr; }, 3000);
  EXPECT_EQ(state_.kbd, nullptr);
  EXPECT_EQ(log.Count("sightwellInput: Keyboard device removed", mark), 1u);
  EXPECT_EQ(log.Count("device removed", mark), 1u);
  Key(30, 1);
  EXPECT_EQ(log.Count("Keyboard device not initialized", mark), 1u);
}

TEST_F(InjectionTest, DisconnectEmptiesTheSlotsAndSignals) {
  Start();
  int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  injector_.SetDisconnectFd(fd);
  size_t mark = LogCapture::Get().Mark();
  ASSERT_TRUE(compositor_->Control("DisconnectClients"));
  inputtest::Pump(injector_, [this] { return injector_.GetEisFd() < 0; }, 3000);
  injector_.SetDisconnectFd(-1);
  EXPECT_EQ(LogCapture::Get().Count("sightwellInput: EIS disconnected us, will try reconnecting", mark), 1u);
  EXPECT_EQ(state_.ptr, nullptr);
  EXPECT_EQ(state_.kbd, nullptr);
  EXPECT_EQ(state_.abs, nullptr);
  uint64_t value = 0;
  EXPECT_EQ(read(fd, &value, sizeof value), 8);
  EXPECT_EQ(value, 1u);
  close(fd);

  // The next HandleEvents stops the old session before creating a new one.
  size_t from = compositor_->EventCount();
  mark = LogCapture::Get().Mark();
  inputtest::Pump(injector_, [&] { return state_.kbd != nullptr; }, 3000);
  Texts rd = compositor_->Texts(from, {"rd-stop", "rd-create", "rd-start", "rd-connect-eis"});
  ASSERT_EQ(rd.size(), 4u);
  EXPECT_EQ(rd[0].rfind("rd-stop ", 0), 0u);
  EXPECT_EQ(rd[1].rfind("rd-create ", 0), 0u);
  std::vector<std::string> lines = LogCapture::Get().LinesSince(mark);
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines[0].find("sightwellInput: Stopped previous session: /org/gnome/Mutter/RemoteDesktop/Session/u1"),
            std::string::npos);
}

// The injection's flush may be the dispatch that reads the compositor's
// hang-up; libei then closes the descriptor, which the input event thread
// polls and so would never see readable again. The flush hands the
// disconnect on through disconnectFd, and later injections are refused.
TEST_F(InjectionTest, DisconnectReadByAnInjectionIsSignalled) {
  Start();
  int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  injector_.SetDisconnectFd(fd);
  size_t mark = LogCapture::Get().Mark();
  int eisFd = injector_.GetEisFd();
  ASSERT_TRUE(compositor_->Control("DisconnectClients"));
  // Until the server's end is closed, not just its goodbye sent.
  pollfd hangup{eisFd, POLLRDHUP, 0};
  ASSERT_EQ(poll(&hangup, 1, 3000), 1);

  Key(30, 1);  // its flush reads the hang-up
  uint64_t value = 0;
  EXPECT_EQ(read(fd, &value, sizeof value), 8);
  EXPECT_EQ(value, 1u);
  EXPECT_EQ(LogCapture::Get().Count("sightwellInput: EIS disconnected us, will try reconnecting", mark), 1u);
  Key(31, 1);
  EXPECT_EQ(LogCapture::Get().Count("sightwellInput: Keyboard device not initialized", mark), 1u);
  injector_.SetDisconnectFd(-1);
  close(fd);

  // The next HandleEvents builds a new connection and input flows again,
  // the key that came while the connection was down first.
  size_t from = compositor_->EventCount();
  ASSERT_TRUE(inputtest::Pump(
      injector_, [&] { return compositor_->Texts(from, {"start-emulating"}).size() >= 2; }, 3000));
  EXPECT_EQ(compositor_->Texts(from, {"rd-stop"}).size(), 1u);
  Key(32, 1);
  EXPECT_EQ(InputSince(from, 4), (Texts{"key 31 1", "frame", "key 32 1", "frame"}));
}

TEST_F(InjectionTest, InitFailuresLeaveNoDescriptor) {
  {
    FakeCompositor noService(inputtest::Services(), {"--rd-disable"});
    ASSERT_TRUE(noService.ok());
    size_t mark = LogCapture::Get().Mark();
    injector_.Init();
    EXPECT_EQ(injector_.GetEisFd(), -1);
    EXPECT_EQ(LogCapture::Get().Count("sightwellInput: Failed to create session: ", mark), 1u);
    EXPECT_EQ(LogCapture::Get().Count("sightwellInput: Failed to get EIS file descriptor", mark), 1u);
  }
  FakeCompositor refusing(inputtest::Services(), {"--rd-refuse-eis"});
  ASSERT_TRUE(refusing.ok());
  size_t mark = LogCapture::Get().Mark();
  injector_.Init();
  EXPECT_EQ(injector_.GetEisFd(), -1);
  EXPECT_EQ(LogCapture::Get().Count("sightwellInput: Session started.", mark), 1u);
  EXPECT_EQ(LogCapture::Get().Count("sightwellInput: Failed to connect to EIS: ", mark), 1u);
  // Each attempt stops the session it could not use, so none is left
  // behind for the compositor to keep, and the next attempt has nothing
  // of its own to stop. (The compositor answers Stop before recording it.)
  auto stops = [&] { return refusing.Texts(0, {"rd-stop"}).size(); };
  EXPECT_TRUE(swtest::WaitFor([&] { return stops() >= 1; }, 3000));
  mark = LogCapture::Get().Mark();
  injector_.Init();
  EXPECT_EQ(LogCapture::Get().Count("Stopped previous session", mark), 0u);
  EXPECT_TRUE(swtest::WaitFor([&] { return stops() >= 2; }, 3000));
  EXPECT_EQ(stops(), 2u);
  GVariant *counts = nullptr;
  ASSERT_TRUE(refusing.Control("GetCounts", nullptr, &counts));
  guint32 created = 0, started = 0, stopped = 0, clients = 0;
  guint64 events = 0;
  g_variant_get(counts, "(uuuut)", &created, &started, &stopped, &clients, &events);
  g_variant_unref(counts);
  EXPECT_EQ(created, 2u);
  EXPECT_EQ(stopped, 2u);
}

// The injector owns the libei side it built. Let go, it ends a connection
// whose handshake completed (the compositor sees the client leave instead
// of a live device until the process exits), but leaves alone a context
// whose handshake the compositor has not answered: libei 1.3 crashes when
// such a context is released.
TEST_F(InjectionTest, AReleasedInjectorEndsItsConnectionButNotAPendingHandshake) {
  compositor_ = std::make_unique<FakeCompositor>(inputtest::Services());
  ASSERT_TRUE(compositor_->ok());
  {
    StopToken stop;
    InputInjector connected(stop);
    ASSERT_TRUE(inputtest::ConnectAndWaitForDevices(*compositor_, connected));
  }
  EXPECT_TRUE(compositor_->WaitForEvent("client-disconnect sightwell-wayland-input", 3000));

  // The compositor reads nothing, so the handshake stays pending.
  ASSERT_TRUE(compositor_->Control("StallEis", g_variant_new("(u)", 2000u)));
  {
    StopToken stop;
    InputInjector pending(stop);
    pending.Init();
    ASSERT_GE(pending.GetEisFd(), 0);
    std::lock_guard<std::mutex> guard(pending.state().lock);
    ASSERT_TRUE(pending.state().ei.handshakePending());
  }
}

}  // namespace
