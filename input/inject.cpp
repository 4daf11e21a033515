// InjectMouseEvent / InjectKeyEvent: the parent's pointer and key records as
// libei events on the absolute pointer and the keyboard, one frame per
// record, sent in arrival order through the input queue.
#include <libei-1.0/libei.h>
#include <poll.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "base/error.h"
#include "base/event_fd.h"
#include "input/input.h"
#include "input/input_state.h"
#include "lib/log/log.h"

namespace {

// Linux input event codes.
constexpr uint32_t kBtnLeft = 0x110;
constexpr uint32_t kBtnRight = 0x111;
constexpr uint32_t kBtnMiddle = 0x112;

// Extended (E0-prefixed) scancodes arrive as 0x100 | second byte. Only
// 0x11C..0x15D have keys; 0 marks the unmapped values in that range.
constexpr uint16_t kExtendedFirst = 0x11C;
constexpr uint16_t kExtendedLast = 0x15D;

constexpr std::array<uint16_t, kExtendedLast - kExtendedFirst + 1> MakeExtendedTable() {
  std::array<uint16_t, kExtendedLast - kExtendedFirst + 1> t{};
  auto set = [&t](uint16_t vscancode, uint16_t key) { t[vscancode - kExtendedFirst] = key; };
  set(0x11C, 96);   // KEY_KPENTER
  set(0x11D, 97);   // KEY_RIGHTCTRL
  set(0x135, 98);   // KEY_KPSLASH
  set(0x137, 210);  // KEY_PRINT (not KEY_SYSRQ)
  set(0x138, 100);  // KEY_RIGHTALT
  set(0x146, 119);  // KEY_PAUSE
  set(0x147, 102);  // KEY_HOME
  set(0x148, 103);  // KEY_UP
  set(0x149, 104);  // KEY_PAGEUP
  set(0x14B, 105);  // KEY_LEFT
  set(0x14D, 106);  // KEY_RIGHT
  set(0x14F, 107);  // KEY_END
  set(0x150, 108);  // KEY_DOWN
  set(0x151, 109);  // KEY_PAGEDOWN
  set(0x152, 110);  // KEY_INSERT
  set(0x153, 111);  // KEY_DELETE
  set(0x15B, 125);  // KEY_LEFTMETA
  set(0x15C, 126);  // KEY_RIGHTMETA
  set(0x15D, 139);  // KEY_MENU (not KEY_COMPOSE)
  return t;
}
constexpr auto kExtendedTable = MakeExtendedTable();
static_assert(kExtendedTable[0x137 - kExtendedFirst] == 210);

// Linux key code of a VScancode, or -1 when it has none.
int KeyCodeOf(uint16_t vscancode) {
  if (vscancode <= 0xFF) {
    return vscancode;  // set-1 scancodes equal the key codes
  }
  if (vscancode < kExtendedFirst || vscancode > kExtendedLast) {
    return -1;
  }
  uint16_t key = kExtendedTable[vscancode - kExtendedFirst];
  return key != 0 ? key : -1;
}

// True when the EIS socket takes more now. libei keeps what the socket does
// not take in a queue of its own that only a later ei_dispatch sends; after
// the last record of a burst nothing would ever send it. Sending only while
// the socket is writable (a large part of its buffer free, far more than a
// record needs) keeps that queue unused: a slow compositor holds the
// parent's records back in our queue instead of losing the tail. A
// hang-up or an error counts as room: the send then meets the hang-up and
// Flush hands it to the input event thread.
bool SocketHasRoom(const InputState &state) {
  int fd = state.eisFd.load(std::memory_order_acquire);
  if (fd < 0) {
    return true;
  }
  pollfd p{fd, POLLOUT, 0};
  while (poll(&p, 1, 0) < 0 && errno == EINTR) {
  }
  return (p.revents & (POLLOUT | POLLERR | POLLHUP | POLLNVAL)) != 0;
}

// Flushes what the device calls queued, while the context is usable.
//
// The device calls and the dispatch may be the ones that meet a hang-up of
// the compositor (a failed send, an end of stream read). libei then closes
// the descriptor and queues the disconnect, but only the input event thread
// handles events, and it waits for that very descriptor to become readable,
// which a closed (or reused) number never does: input would stay dead. So
// a connection lost here is handed to that thread through disconnectFd, and
// the devices count as gone until it has re-initialised.
void Flush(InputState &state) {
  if (state.ei && EisSocketIsCurrent(state)) {
    ei_dispatch(state.ei.get());
  }
  if (state.eisFd.load(std::memory_order_relaxed) >= 0 && !EisSocketIsCurrent(state)) {
    Log_Warning("sightwellInput: EIS disconnected us, will try reconnecting");
    state.needsInit = true;
    SignalDisconnect(state);
  }
}

// The device in a slot while the compositor lets it emulate. A device of a
// connection that is known to be lost is no device: its context is
// re-created before anything reaches the compositor again.
ei_device *EmulatingDevice(const InputState &state, InputSlot index) {
  const EiDevice &slot = index == kKbdSlot ? state.kbd : state.abs;
  return !state.needsInit && state.emulating[index] ? slot.get() : nullptr;
}

void SendMouse(InputState &state, ei_device *device, const QueuedInput &input) {
  // Logical compositor coordinates, passed through unchanged.
  ei_device_pointer_motion_absolute(device, static_cast<double>(input.x),
                                    static_cast<double>(input.y));

  // Bits above 15 never match the 16-bit lastButtons, so such records send
  // the three states every time.
  if (input.buttons != state.lastButtons || input.wheel != 0 || input.hwheel != 0) {
    ei_device_button_button(device, kBtnLeft, (input.buttons & kMouseButtonLeft) != 0);
    ei_device_button_button(device, kBtnMiddle, (input.buttons & kMouseButtonMiddle) != 0);
    ei_device_button_button(device, kBtnRight, (input.buttons & kMouseButtonRight) != 0);
    if (input.wheel != 0 || input.hwheel != 0) {
      ei_device_scroll_delta(device, static_cast<double>(input.hwheel),
                             static_cast<double>(input.wheel));
    }
    state.lastButtons = static_cast<uint16_t>(input.buttons & 0xFFFF);
    state.lastButtonMask = static_cast<uint16_t>(
        input.buttons & (kMouseButtonLeft | kMouseButtonRight | kMouseButtonMiddle));
  }
  ei_device_frame(device, 0);
}

void SendKey(ei_device *device, const QueuedInput &input) {
  ei_device_keyboard_key(device, input.key, input.pressed);
  ei_device_frame(device, 0);
}

// Logged once per absence of a device, not per record.
void NoteMissing(InputState &state, QueuedInput::Kind kind) {
  bool &noted = kind == QueuedInput::kKey ? state.keyDeviceMissing : state.mouseDeviceMissing;
  if (noted) {
    return;
  }
  noted = true;
  if (kind == QueuedInput::kKey) {
    Log_Error("sightwellInput: Keyboard device not initialized, cannot inject key event");
  } else {
    Log_Error("sightwellInput: Absolute pointer device not initialized, cannot inject mouse event");
  }
  Log_Info("sightwellInput: Keeping input until the device is back (at most %zu events, %d ms)",
           InputQueue::kCapacity, static_cast<int>(InputQueue::kMaxAgeNs / 1000000));
}

constexpr uint64_t kGivenUpLogPeriodNs = 1000000000ull;

// At most one line a second while input is being given up, and one when
// the queue has run empty.
void ReportGivenUp(InputState &state, uint64_t now, bool queueEmpty) {
  if (state.givenUp == 0 ||
      (!queueEmpty && now - state.givenUpLoggedNs < kGivenUpLogPeriodNs)) {
    return;
  }
  Log_Warning("sightwellInput: Gave up %u queued input events (older than %d ms or beyond %zu queued)",
              state.givenUp, static_cast<int>(InputQueue::kMaxAgeNs / 1000000),
              InputQueue::kCapacity);
  state.givenUp = 0;
  state.givenUpLoggedNs = now;
}

// Where an event's time goes, for the latency benchmark: with the log at
// debug level each event sent gets a line with the times it was read from
// the parent and handed to libei (CLOCK_MONOTONIC ns). The level is read
// once, the first time it is needed; at the default level this costs one
// branch per event.
bool StampsOn() {
  static const bool on = Log_IsLevelOn(kLogDebug);
  return on;
}

void LogStamps(const QueuedInput &input) {
  const unsigned long long sent = InputMonotonicNs();
  if (input.kind == QueuedInput::kKey) {
    Log_Level(kLogDebug, "sightwellInput: Input stamps: key %u %d read %llu sent %llu",
              static_cast<unsigned>(input.key), input.pressed ? 1 : 0,
              static_cast<unsigned long long>(input.queuedNs), sent);
  } else {
    Log_Level(kLogDebug, "sightwellInput: Input stamps: abs %d %d read %llu sent %llu",
              static_cast<int>(input.x), static_cast<int>(input.y),
              static_cast<unsigned long long>(input.queuedNs), sent);
  }
}

void WakeInputThread(const InputState &state) {
  int fd = state.wakeFd.load(std::memory_order_acquire);
  if (fd >= 0 && SignalEventFd(fd) < 0) {
    LogSystemError(kLogError, errno, "sightwellInput: Failed to wake the input event thread");
  }
}

// Queues one record behind what waits and sends as much as can go. While
// the queue is full and only the socket holds it up, the caller waits for
// room, but for no more than the room budget in all: a compositor that has
// stopped reading must not keep the remote routine from its other work.
void Inject(InputState &state, const QueuedInput &input) {
  std::unique_lock<std::mutex> guard(state.lock);
  DrainQueueLocked(state);
  while (state.queue.Size() == InputQueue::kCapacity && state.waitingForRoom &&
         state.roomBudgetMs > 0) {
    // The wait happens without the lock: the input event thread must stay
    // free to handle the compositor's events (a disconnect among them).
    // Polling a number that was closed or reused meanwhile costs at most
    // the wait; the device is looked at only under the lock afterwards.
    pollfd p{state.eisFd.load(std::memory_order_acquire), POLLOUT, 0};
    int budget = state.roomBudgetMs;
    guard.unlock();
    uint64_t began = InputMonotonicNs();
    int ready;
    while ((ready = poll(&p, 1, budget)) < 0 && errno == EINTR) {
    }
    int waitedMs = static_cast<int>((InputMonotonicNs() - began) / 1000000);
    guard.lock();
    // Every pass spends at least 1 ms of the budget, so the loop ends even
    // if the socket keeps reporting room that the drain cannot use.
    state.roomBudgetMs = ready > 0 ? std::max(state.roomBudgetMs - std::max(waitedMs, 1), 0) : 0;
    DrainQueueLocked(state);  // refills the budget when the socket took some
  }
  // Motion is merged only while the device is away or the compositor has
  // stalled: one that merely reads slower than the parent sends gets every
  // position, the full queue holding the parent back instead.
  const bool deviceAway =
      EmulatingDevice(state, input.kind == QueuedInput::kKey ? kKbdSlot : kAbsSlot) == nullptr;
  const bool mayMerge = deviceAway || state.roomBudgetMs == 0;
  state.givenUp += static_cast<uint32_t>(state.queue.Push(input, state.lastButtons, mayMerge));
  DrainQueueLocked(state);
  if (!state.queue.Empty() && deviceAway) {
    NoteMissing(state, input.kind);
  }
  if (state.waitingForRoom && !state.threadPollsForRoom) {
    state.threadPollsForRoom = true;
    WakeInputThread(state);
  }
}

}  // namespace

void DrainQueueLocked(InputState &state) {
  state.waitingForRoom = false;
  InputQueue &queue = state.queue;
  if (queue.Empty()) {
    return;
  }
  uint64_t now = InputMonotonicNs();
  state.givenUp += static_cast<uint32_t>(queue.ExpireOlderThan(now));
  uint32_t sent = 0;
  while (!queue.Empty()) {
    const QueuedInput &input = queue.Front();
    ei_device *device =
        EmulatingDevice(state, input.kind == QueuedInput::kKey ? kKbdSlot : kAbsSlot);
    if (device == nullptr) {
      NoteMissing(state, input.kind);
      break;
    }
    if (!SocketHasRoom(state)) {
      state.waitingForRoom = true;
      break;
    }
    if (input.kind == QueuedInput::kKey) {
      SendKey(device, input);
    } else {
      SendMouse(state, device, input);
    }
    if (StampsOn()) {
      LogStamps(input);
    }
    queue.PopFront();
    sent++;
  }
  if (sent > 0) {
    state.roomBudgetMs = InputState::kRoomBudgetMs;
    if (state.keyDeviceMissing || state.mouseDeviceMissing) {
      state.sentAfterOutage += sent;
    }
    Flush(state);
  }
  if (queue.Empty()) {
    if (state.sentAfterOutage > 0) {
      Log_Info("sightwellInput: Sent %u input events that waited for the devices",
               state.sentAfterOutage);
    }
    state.sentAfterOutage = 0;
    state.keyDeviceMissing = false;
    state.mouseDeviceMissing = false;
  }
  ReportGivenUp(state, now, queue.Empty());
}

bool InputInjector::QueuedInputWaitsForRoom() {
  InputState &state = *state_;
  std::lock_guard<std::mutex> guard(state.lock);
  state.threadPollsForRoom = state.waitingForRoom && !state.queue.Empty();
  return state.threadPollsForRoom;
}

void InputInjector::SendQueuedInput() {
  std::lock_guard<std::mutex> guard(state_->lock);
  DrainQueueLocked(*state_);
}

void InputInjector::InjectMouseEvent(const MouseRecord &record) {
  QueuedInput input;
  input.kind = QueuedInput::kMouse;
  // Copies: the record is packed.
  input.x = record.x;
  input.y = record.y;
  input.buttons = record.buttons;
  input.wheel = record.wheel;
  input.hwheel = record.hwheel;
  input.queuedNs = InputMonotonicNs();
  Inject(*state_, input);
}

void InputInjector::InjectKeyEvent(uint16_t vscancode, uint8_t pressed) {
  int key = KeyCodeOf(vscancode);
  if (key < 0) {
    Log_Error("sightwellInput: Unmapped VScancode %u, cannot inject key event",
              static_cast<unsigned>(vscancode));
    return;
  }
  QueuedInput input;
  input.kind = QueuedInput::kKey;
  input.key = static_cast<uint16_t>(key);
  input.pressed = pressed != 0;
  input.queuedNs = InputMonotonicNs();
  Inject(*state_, input);
}
