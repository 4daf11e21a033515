// The injections' decisions without a compositor: which libei device calls
// a key or pointer record turns into. The test program defines libei's five
// device emulation calls itself, so the injections' calls land here and are
// recorded; no context exists, so nothing is flushed.
#include <gtest/gtest.h>
#include <libei-1.0/libei.h>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <cstring>
#include <mutex>
#include <thread>
#include <string>
#include <vector>

#include "input/input.h"
#include "input/input_state.h"
#include "lib/log/log.h"
#include "lib/log/log_output.h"

namespace {

std::mutex callsLock;
std::vector<std::string> calls;

void Record(const std::string &call) {
  std::lock_guard<std::mutex> guard(callsLock);
  calls.push_back(call);
}

std::string Fmt(const char *format, double a, double b) {
  char text[64];
  snprintf(text, sizeof text, format, a, b);
  return text;
}

}  // namespace

extern "C" {
void ei_device_pointer_motion_absolute(struct ei_device *, double x, double y) {
  Record(Fmt("abs %g %g", x, y));
}
void ei_device_button_button(struct ei_device *, uint32_t button, bool is_press) {
  Record("button " + std::to_string(button) + (is_press ? " 1" : " 0"));
}
void ei_device_scroll_delta(struct ei_device *, double x, double y) { Record(Fmt("scroll %g %g", x, y)); }
void ei_device_keyboard_key(struct ei_device *, uint32_t keycode, bool is_press) {
  Record("key " + std::to_string(keycode) + (is_press ? " 1" : " 0"));
}
void ei_device_frame(struct ei_device *, uint64_t time) { Record("frame " + std::to_string(time)); }
}

namespace {

using Calls = std::vector<std::string>;

// Keeps the log lines the injections write.
struct LineOutput {
  LogOutput head{};
  std::mutex lock;
  std::vector<std::string> lines;

  static void Log(LogOutput *output, LogMessageHeader *, size_t length, const char *text) {
    auto *self = reinterpret_cast<LineOutput *>(output);
    std::lock_guard<std::mutex> guard(self->lock);
    self->lines.emplace_back(text, length);
  }
  static bool Open(LogOutput *) { return true; }
  static void Destroy(LogOutput *) {}
  static constexpr LogOutputOps kOps = {Log, Open, Destroy, nullptr};

  size_t Count(const std::string &needle) {
    std::lock_guard<std::mutex> guard(lock);
    size_t n = 0;
    for (const std::string &line : lines) {
      n += line.find(needle) != std::string::npos;
    }
    return n;
  }
};

LineOutput &Lines() {
  static LineOutput *output = [] {
    auto *out = new LineOutput();
    out->head.version = kLogOutputVersion;
    out->head.type = kLogOutputType23456;
    out->head.name = strdup("inject-unit-test");
    out->head.fileLevel = kLogInfo;
    out->head.stderrLevel = -1;
    out->head.ops = &LineOutput::kOps;
    Log_AddOutput(&out->head);
    return out;
  }();
  return *output;
}

// Any non-null handle will do: the stand-ins never look inside.
alignas(8) char deviceStorage[8];
ei_device *const kDevice = reinterpret_cast<ei_device *>(deviceStorage);

class InjectUnitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Lines();
    {
      std::lock_guard<std::mutex> guard(callsLock);
      calls.clear();
    }
    // The stand-in device is in the keyboard and absolute pointer slots,
    // emulating, as after a resume.
    std::lock_guard<std::mutex> guard(state_.lock);
    state_.kbd.reset(kDevice);
    state_.abs.reset(kDevice);
    SetEmulating(true);
  }
  void TearDown() override {
    // The stand-in is no libei device: it must not reach ei_device_unref.
    std::lock_guard<std::mutex> guard(state_.lock);
    state_.kbd.release();
    state_.abs.release();
  }
  void SetEmulating(bool emulating) {
    state_.emulating[kKbdSlot] = emulating;
    state_.emulating[kAbsSlot] = emulating;
  }
  static Calls Take() {
    std::lock_guard<std::mutex> guard(callsLock);
    Calls taken;
    taken.swap(calls);
    return taken;
  }
  void Mouse(int32_t x, int32_t y, uint32_t buttons, int8_t wheel = 0, int8_t hwheel = 0) {
    MouseRecord r{};
    r.x = x;
    r.y = y;
    r.buttons = buttons;
    r.wheel = wheel;
    r.hwheel = hwheel;
    injector_.InjectMouseEvent(r);
  }

  StopToken stop_;
  InputInjector injector_{stop_};
  InputState &state_ = injector_.state();
};

TEST_F(InjectUnitTest, VScancodesMapToKeyCodesOrAreRefused) {
  struct Extended {
    uint16_t vscancode;
    uint32_t key;
  };
  const Extended table[] = {
      {0x11C, 96},  {0x11D, 97},  {0x135, 98},  {0x137, 210}, {0x138, 100}, {0x146, 119}, {0x147, 102},
      {0x148, 103}, {0x149, 104}, {0x14B, 105}, {0x14D, 106}, {0x14F, 107}, {0x150, 108}, {0x151, 109},
      {0x152, 110}, {0x153, 111}, {0x15B, 125}, {0x15C, 126}, {0x15D, 139}};
  size_t refusedBefore = Lines().Count("cannot inject key event");
  size_t refused = 0;
  // Every value up to 0x1FF, and a few far above the table.
  std::vector<uint32_t> values;
  for (uint32_t v = 0; v <= 0x1FF; v++) {
    values.push_back(v);
  }
  values.insert(values.end(), {0x8000, 0xFFFF});
  for (uint32_t v : values) {
    uint16_t vscancode = static_cast<uint16_t>(v);
    injector_.InjectKeyEvent(vscancode, 0x80);  // any non-zero byte presses
    injector_.InjectKeyEvent(vscancode, 0);
    Calls expected;
    int key = v <= 0xFF ? static_cast<int>(v) : -1;
    for (const Extended &e : table) {
      if (e.vscancode == v) {
        key = static_cast<int>(e.key);
      }
    }
    if (key >= 0) {
      expected = {"key " + std::to_string(key) + " 1", "frame 0", "key " + std::to_string(key) + " 0",
                  "frame 0"};
    } else {
      refused += 2;
      EXPECT_EQ(Lines().Count("sightwellInput: Unmapped VScancode " + std::to_string(v) +
                              ", cannot inject key event"),
                2u)
          << v;
    }
    ASSERT_EQ(Take(), expected) << "VScancode " << v;
  }
  EXPECT_EQ(refused, 2u * (values.size() - 256 - 19));
  EXPECT_EQ(Lines().Count("cannot inject key event") - refusedBefore, refused);
}

TEST_F(InjectUnitTest, ButtonsFollowTheStoredStateAndWheels) {
  // Motion alone: no button states.
  Mouse(10, 20, 0);
  EXPECT_EQ(Take(), (Calls{"abs 10 20", "frame 0"}));
  // A wheel forces the three states, then one scroll of (hwheel, wheel).
  Mouse(11, 21, 0, -1);
  EXPECT_EQ(Take(), (Calls{"abs 11 21", "button 272 0", "button 274 0", "button 273 0", "scroll 0 -1",
                           "frame 0"}));
  Mouse(12, 22, 0, 0, 5);
  EXPECT_EQ(Take(), (Calls{"abs 12 22", "button 272 0", "button 274 0", "button 273 0", "scroll 5 0",
                           "frame 0"}));
  // Left while middle is held: left, middle, right; mask 5.
  Mouse(13, 23, 4);
  EXPECT_EQ(Take(), (Calls{"abs 13 23", "button 272 0", "button 274 1", "button 273 0", "frame 0"}));
  Mouse(14, 24, 5);
  EXPECT_EQ(Take(), (Calls{"abs 14 24", "button 272 1", "button 274 1", "button 273 0", "frame 0"}));
  EXPECT_EQ(state_.lastButtons, 5);
  EXPECT_EQ(state_.lastButtonMask, 5);
  Mouse(15, 25, 5);
  EXPECT_EQ(Take(), (Calls{"abs 15 25", "frame 0"}));
  // Bits above 15: stored truncated, so the next equal record differs again;
  // bits 3..15 count for the comparison but not for the mask.
  Mouse(16, 26, 0x10002);
  Mouse(16, 26, 0x10002);
  Calls right = {"abs 16 26", "button 272 0", "button 274 0", "button 273 1", "frame 0"};
  Calls twice = right;
  twice.insert(twice.end(), right.begin(), right.end());
  EXPECT_EQ(Take(), twice);
  EXPECT_EQ(state_.lastButtons, 2);
  EXPECT_EQ(state_.lastButtonMask, 2);
  Mouse(17, 27, 2);
  EXPECT_EQ(Take(), (Calls{"abs 17 27", "frame 0"}));
  Mouse(18, 28, 0x0A);  // bit 3 set: a change, the same three states
  EXPECT_EQ(Take(), (Calls{"abs 18 28", "button 272 0", "button 274 0", "button 273 1", "frame 0"}));
  EXPECT_EQ(state_.lastButtons, 0x0A);
  EXPECT_EQ(state_.lastButtonMask, 2);
  // Coordinates pass through unscaled, negative ones too.
  Mouse(-3, 100000, 0x0A);
  EXPECT_EQ(Take(), (Calls{"abs -3 100000", "frame 0"}));
}

// Without an emulating device (none yet, a paused one, or a connection known
// to be lost) records are kept, in order, and go out once the device
// emulates; the absence is logged once, not per record.
TEST_F(InjectUnitTest, NoDeviceOrALostConnectionKeepsTheRecordsInOrder) {
  size_t keyBefore = Lines().Count("sightwellInput: Keyboard device not initialized, cannot inject key event");
  size_t mouseBefore =
      Lines().Count("sightwellInput: Absolute pointer device not initialized, cannot inject mouse event");
  {
    std::lock_guard<std::mutex> guard(state_.lock);
    SetEmulating(false);
  }
  MouseRecord r{};
  r.buttons = 1;
  r.wheel = 1;
  injector_.InjectMouseEvent(r);
  injector_.InjectKeyEvent(30, 1);
  injector_.InjectKeyEvent(30, 0);
  // Devices emulating but the connection known to be lost.
  {
    std::lock_guard<std::mutex> guard(state_.lock);
    SetEmulating(true);
    state_.needsInit = true;
  }
  r.buttons = 0;
  r.wheel = 0;
  injector_.InjectMouseEvent(r);
  EXPECT_EQ(Take(), Calls{});
  EXPECT_EQ(state_.lastButtons, 0);  // nothing sent, nothing stored
  EXPECT_EQ(Lines().Count("sightwellInput: Keyboard device not initialized, cannot inject key event") - keyBefore,
            1u);
  EXPECT_EQ(Lines().Count("sightwellInput: Absolute pointer device not initialized, cannot inject mouse event") -
                mouseBefore,
            1u);

  // Reconnected: the next record sends everything before it first.
  {
    std::lock_guard<std::mutex> guard(state_.lock);
    state_.needsInit = false;
  }
  injector_.InjectKeyEvent(2, 1);
  EXPECT_EQ(Take(), (Calls{"abs 0 0", "button 272 1", "button 274 0", "button 273 0", "scroll 0 1", "frame 0",
                           "key 30 1", "frame 0", "key 30 0", "frame 0",
                           "abs 0 0", "button 272 0", "button 274 0", "button 273 0", "frame 0",
                           "key 2 1", "frame 0"}));
  EXPECT_EQ(state_.lastButtons, 0);
}

// What may be given up when the queue is full or too old, and what never:
// a key release that still matters and the newest pointer record (it holds
// the button state) survive; presses and superseded pointer records go
// first; motion-only records merge into their newest position.
TEST(InputQueueTest, FullOrAgedQueueKeepsReleasesAndTheNewestButtonState) {
  auto key = [](uint16_t code, bool pressed, uint64_t ns) {
    QueuedInput in;
    in.kind = QueuedInput::kKey;
    in.key = code;
    in.pressed = pressed;
    in.queuedNs = ns;
    return in;
  };
  auto mouse = [](int32_t x, uint32_t buttons, uint64_t ns, int8_t wheel = 0) {
    QueuedInput in;
    in.kind = QueuedInput::kMouse;
    in.x = x;
    in.buttons = buttons;
    in.wheel = wheel;
    in.queuedNs = ns;
    return in;
  };
  auto contents = [](InputQueue q) {
    std::vector<std::string> out;
    for (; !q.Empty(); q.PopFront()) {
      const QueuedInput &in = q.Front();
      out.push_back(in.kind == QueuedInput::kKey
                        ? "key " + std::to_string(in.key) + (in.pressed ? " 1" : " 0")
                        : "mouse " + std::to_string(in.x) + " " + std::to_string(in.buttons));
    }
    return out;
  };
  using Texts = std::vector<std::string>;

  // Motion merges into a motion-only tail; a press, a wheel or a key in
  // between ends the merging.
  auto q = std::make_unique<InputQueue>();
  EXPECT_EQ(q->Push(mouse(1, 0, 1), 0), 0u);
  q->Push(mouse(2, 0, 2), 0);
  q->Push(mouse(3, 1, 3), 0);   // press
  q->Push(mouse(4, 1, 4), 0);   // motion while held
  q->Push(mouse(5, 1, 5), 0);
  q->Push(mouse(6, 1, 6, -1), 0);  // wheel
  q->Push(mouse(7, 1, 7), 0);
  q->Push(key(30, true, 8), 0);
  q->Push(mouse(8, 1, 9), 0);
  EXPECT_EQ(contents(*q), (Texts{"mouse 2 0", "mouse 3 1", "mouse 5 1", "mouse 6 1", "mouse 7 1",
                                 "key 30 1", "mouse 8 1"}));

  // Full of key presses and releases: presses go first, oldest first; the
  // last release of each key and the last pointer record stay.
  q = std::make_unique<InputQueue>();
  q->Push(mouse(1, 1, 0), 0);  // holds the left button
  for (size_t i = 1; i < InputQueue::kCapacity - 1; i++) {
    q->Push(key(static_cast<uint16_t>(1 + i % 50), i % 2 == 1, i), 1);
  }
  q->Push(key(99, false, 5000), 1);
  ASSERT_EQ(q->Size(), InputQueue::kCapacity);
  size_t givenUp = 0;
  for (uint64_t i = 0; i < 2 * InputQueue::kCapacity; i++) {
    givenUp += q->Push(key(77, true, 6000 + i), 1);
  }
  EXPECT_EQ(q->Size(), InputQueue::kCapacity);
  EXPECT_EQ(givenUp, 2 * InputQueue::kCapacity);
  Texts kept = contents(*q);
  EXPECT_EQ(kept.front(), "mouse 1 1");
  for (int k = 1; k <= 50; k++) {
    // Keys with a release in the sequence (every even i) keep their last one.
    bool hasRelease = false;
    for (size_t i = 1; i < InputQueue::kCapacity - 1; i++) {
      hasRelease |= 1 + i % 50 == static_cast<size_t>(k) && i % 2 == 0;
    }
    EXPECT_EQ(std::count(kept.begin(), kept.end(), "key " + std::to_string(k) + " 0"), hasRelease ? 1 : 0)
        << k;
  }
  EXPECT_EQ(std::count(kept.begin(), kept.end(), "key 99 0"), 1);

  // Ageing: everything older than the limit that may go, goes; a release
  // that matters and the newest pointer record stay, however old.
  q = std::make_unique<InputQueue>();
  const uint64_t t0 = 1000000000ull;
  q->Push(key(30, true, t0), 0);
  q->Push(mouse(1, 1, t0), 0);
  q->Push(key(30, false, t0), 1);
  q->Push(mouse(2, 0, t0 + 1), 1);
  q->Push(key(31, true, t0 + InputQueue::kMaxAgeNs), 0);
  EXPECT_EQ(q->ExpireOlderThan(t0 + InputQueue::kMaxAgeNs + 10), 2u);
  EXPECT_EQ(contents(*q), (Texts{"key 30 0", "mouse 2 0", "key 31 1"}));
  EXPECT_EQ(q->ExpireOlderThan(t0 - 1), 0u);  // a clock read before the entries
}

// An injection that meets a full EIS socket must not keep the input event
// thread (HandleEvents, a disconnect among its events) waiting behind the
// input lock; what it could not send goes out once there is room.
TEST_F(InjectUnitTest, WaitingForRoomLeavesTheInputLockFree) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sv), 0);
  char chunk[4096] = {};
  while (write(sv[0], chunk, sizeof chunk) > 0) {
  }
  {
    std::lock_guard<std::mutex> guard(state_.lock);
    state_.eisFd.store(sv[0]);
    RememberEisSocket(state_, sv[0]);
  }
  std::thread injector([this] { injector_.InjectKeyEvent(30, 1); });
  // Give the injection time to reach its wait (a second at most), then ask
  // for the lock the way the input event thread does.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  auto asked = std::chrono::steady_clock::now();
  { std::lock_guard<std::mutex> guard(state_.lock); }
  auto waited = std::chrono::steady_clock::now() - asked;
  injector.join();
  // Room again: the input event thread sends what waited.
  while (read(sv[1], chunk, sizeof chunk) > 0) {
  }
  injector_.SendQueuedInput();
  {
    std::lock_guard<std::mutex> guard(state_.lock);
    state_.eisFd.store(-1);
  }
  close(sv[0]);
  close(sv[1]);
  EXPECT_LT(waited, std::chrono::milliseconds(300));
  EXPECT_EQ(Take(), (Calls{"key 30 1", "frame 0"}));
}

// Records queued behind a full EIS socket wake the input event thread once
// per wait, not once per record: a wake per record had that thread fight the
// remote routine for the input lock through a whole burst. A wait that
// begins after the thread last found none must still wake it, or what waits
// stays queued until the next record.
TEST_F(InjectUnitTest, AWaitForRoomWakesTheInputEventThreadOnce) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sv), 0);
  int wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  ASSERT_GE(wake, 0);
  char chunk[4096] = {};
  auto fill = [&] {
    while (write(sv[0], chunk, sizeof chunk) > 0) {
    }
  };
  auto empty = [&] {
    while (read(sv[1], chunk, sizeof chunk) > 0) {
    }
  };
  auto wakes = [wake] {
    uint64_t count = 0;
    return read(wake, &count, sizeof count) == sizeof count ? count : 0;
  };
  {
    std::lock_guard<std::mutex> guard(state_.lock);
    state_.eisFd.store(sv[0]);
    RememberEisSocket(state_, sv[0]);
    state_.wakeFd.store(wake);
  }
  Calls expected;
  auto key = [&](int i) {
    uint16_t code = static_cast<uint16_t>(1 + i % 100);
    injector_.InjectKeyEvent(code, 1);
    expected.push_back("key " + std::to_string(code) + " 1");
    expected.push_back("frame 0");
  };

  // The thread looks first and finds nothing waiting.
  bool sawNothing = !injector_.QueuedInputWaitsForRoom();
  fill();
  for (int i = 0; i < 50; i++) {
    key(i);
  }
  uint64_t firstWait = wakes();
  // The thread looks, sees the wait and polls for room: no more wakes.
  bool sawWait = injector_.QueuedInputWaitsForRoom();
  for (int i = 50; i < 100; i++) {
    key(i);
  }
  uint64_t whileItPolls = wakes();
  // Room: everything goes out; the thread looks again and finds no wait.
  empty();
  injector_.SendQueuedInput();
  Calls sentAfterRoom = Take();
  bool sawNoWait = !injector_.QueuedInputWaitsForRoom();
  // A new wait begins that the thread has not seen.
  fill();
  key(100);
  uint64_t secondWait = wakes();
  empty();
  injector_.SendQueuedInput();
  Calls sentLast = Take();

  {
    std::lock_guard<std::mutex> guard(state_.lock);
    state_.eisFd.store(-1);
    state_.wakeFd.store(-1);
  }
  close(wake);
  close(sv[0]);
  close(sv[1]);
  EXPECT_TRUE(sawNothing);
  EXPECT_EQ(firstWait, 1u);
  EXPECT_TRUE(sawWait);
  EXPECT_EQ(whileItPolls, 0u);
  EXPECT_TRUE(sawNoWait);
  EXPECT_EQ(secondWait, 1u);
  sentAfterRoom.insert(sentAfterRoom.end(), sentLast.begin(), sentLast.end());
  EXPECT_EQ(sentAfterRoom, expected);
}

// The remote routine queues and sends while the input event thread sends
// what waited for room: both touch the one queue. With the socket filling
// and emptying under them, every key still goes out once, in order.
TEST_F(InjectUnitTest, QueueSharedWithTheInputEventThreadKeepsOrder) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sv), 0);
  {
    std::lock_guard<std::mutex> guard(state_.lock);
    state_.eisFd.store(sv[0]);
    RememberEisSocket(state_, sv[0]);
  }
  std::atomic<bool> done{false};
  // A compositor that reads in bursts: the socket is full, then empty. It
  // starts full and reads first after 20 ms, so the queue surely waits.
  char filler[4096] = {};
  while (write(sv[0], filler, sizeof filler) > 0) {
  }
  std::thread compositor([&] {
    char chunk[4096] = {};
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    while (!done.load()) {
      while (write(sv[0], chunk, sizeof chunk) > 0) {
      }
      std::this_thread::sleep_for(std::chrono::microseconds(500));
      while (read(sv[1], chunk, sizeof chunk) > 0) {
      }
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    while (read(sv[1], chunk, sizeof chunk) > 0) {
    }
  });
  // The input event thread's part: send what waits once there is room.
  int waited = 0;
  std::thread inputThread([&] {
    while (!done.load()) {
      bool waits = injector_.QueuedInputWaitsForRoom();
      waited += waits;
      pollfd p{sv[0], static_cast<short>(waits ? POLLOUT : 0), 0};
      poll(&p, 1, 1);
      if ((p.revents & POLLOUT) != 0) {
        injector_.SendQueuedInput();
      }
    }
  });
  Calls expected;
  for (int i = 0; i < 4000; i++) {
    uint16_t key = static_cast<uint16_t>(1 + (i / 2) % 200);
    injector_.InjectKeyEvent(key, i % 2 == 0);
    expected.push_back("key " + std::to_string(key) + (i % 2 == 0 ? " 1" : " 0"));
    expected.push_back("frame 0");
  }
  done.store(true);
  compositor.join();
  inputThread.join();
  injector_.SendQueuedInput();  // the socket is empty now
  {
    std::lock_guard<std::mutex> guard(state_.lock);
    state_.eisFd.store(-1);
    EXPECT_TRUE(state_.queue.Empty());
  }
  close(sv[0]);
  close(sv[1]);
  EXPECT_GT(waited, 0);  // the input event thread's part was exercised
  Calls got = Take();
  ASSERT_EQ(got.size(), expected.size());
  for (size_t i = 0; i < got.size(); i++) {
    ASSERT_EQ(got[i], expected[i]) << "at " << i;
  }
}

}  // namespace
