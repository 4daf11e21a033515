// InjectMouseEvent / InjectKeyEvent: the parent's pointer and key records as
// libei events on the absolute pointer and the keyboard, one frame per call.
#include <libei-1.0/libei.h>
#include <poll.h>

#include <array>
#include <cerrno>
#include <cstdint>

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

// Longest wait for room on the EIS socket before an injection.
constexpr int kRoomWaitMs = 1000;

// libei keeps what the socket does not take in a queue of its own that only
// a later ei_dispatch sends; after the last record of a burst nothing would
// ever send it. Waiting until the socket is writable (at least half of its
// buffer free) before each injection keeps that queue unused: a slow
// compositor holds the parent's records back instead of losing the tail.
//
// The wait happens before the input lock is taken: the input event thread
// must stay free to handle the compositor's events (a disconnect among
// them) while an injection waits. Polling a number that was closed or
// reused meanwhile costs at most the wait; the device is looked at only
// under the lock afterwards.
void WaitForRoom(const InputState &state) {
  int fd = state.eisFd.load(std::memory_order_acquire);
  if (fd < 0) {
    return;
  }
  pollfd p{fd, POLLOUT, 0};
  while (poll(&p, 1, kRoomWaitMs) < 0 && errno == EINTR) {
  }
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
  if (state.ei != nullptr && EisSocketIsCurrent(state)) {
    ei_dispatch(state.ei);
  }
  if (state.eisFd.load(std::memory_order_relaxed) >= 0 && !EisSocketIsCurrent(state)) {
    Log_Warning("sightwellInput: EIS disconnected us, will try reconnecting");
    state.needsInit = true;
    SignalDisconnect(state);
  }
}

// A device of a connection that is known to be lost is no device: its
// context is re-created before anything reaches the compositor again.
ei_device *UsableDevice(const InputState &state, ei_device **slot) {
  return slot != nullptr && !state.needsInit ? *slot : nullptr;
}

}  // namespace

void InjectMouseEvent(const MouseRecord *record, ei_device **abs, uint16_t *lastButtons,
                      uint16_t *lastButtonMask) {
  WaitForRoom(TheInputState());
  std::lock_guard<std::mutex> guard(InputLock());
  ei_device *device = UsableDevice(TheInputState(), abs);
  if (device == nullptr) {
    Log_Error("sightwellInput: Absolute pointer device not initialized, cannot inject mouse event");
    return;
  }
  if (record == nullptr || lastButtons == nullptr || lastButtonMask == nullptr) {
    return;
  }
  // Copies: the record is packed.
  const int32_t x = record->x;
  const int32_t y = record->y;
  const uint32_t buttons = record->buttons;
  const int8_t wheel = record->wheel;
  const int8_t hwheel = record->hwheel;

  // Logical compositor coordinates, passed through unchanged.
  ei_device_pointer_motion_absolute(device, static_cast<double>(x), static_cast<double>(y));

  // Bits above 15 never match the 16-bit lastButtons, so such records send
  // the three states every time.
  if (buttons != *lastButtons || wheel != 0 || hwheel != 0) {
    ei_device_button_button(device, kBtnLeft, (buttons & kMouseButtonLeft) != 0);
    ei_device_button_button(device, kBtnMiddle, (buttons & kMouseButtonMiddle) != 0);
    ei_device_button_button(device, kBtnRight, (buttons & kMouseButtonRight) != 0);
    if (wheel != 0 || hwheel != 0) {
      ei_device_scroll_delta(device, static_cast<double>(hwheel), static_cast<double>(wheel));
    }
    *lastButtons = static_cast<uint16_t>(buttons & 0xFFFF);
    *lastButtonMask = static_cast<uint16_t>(
        buttons & (kMouseButtonLeft | kMouseButtonRight | kMouseButtonMiddle));
  }
  ei_device_frame(device, 0);
  Flush(TheInputState());
}

void InjectKeyEvent(ei_device **kbd, uint16_t vscancode, uint8_t pressed) {
  WaitForRoom(TheInputState());
  std::lock_guard<std::mutex> guard(InputLock());
  ei_device *device = UsableDevice(TheInputState(), kbd);
  if (device == nullptr) {
    Log_Error("sightwellInput: Keyboard device not initialized, cannot inject key event");
    return;
  }
  int key = KeyCodeOf(vscancode);
  if (key < 0) {
    Log_Error("sightwellInput: Unmapped VScancode %u, cannot inject key event",
              static_cast<unsigned>(vscancode));
    return;
  }
  ei_device_keyboard_key(device, static_cast<uint32_t>(key), pressed != 0);
  ei_device_frame(device, 0);
  Flush(TheInputState());
}
