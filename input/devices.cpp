// HandleEvents: drains the libei context, tracks the seat and the four
// device slots (ptr, kbd, abs, touch), starts emulation on resumed devices
// and turns a disconnect into a reconnect request for the input event thread.
#include <libei-1.0/libei.h>

#include <cstdint>

#include "input/input.h"
#include "input/input_state.h"
#include "lib/log/log.h"

namespace {

struct Slot {
  EiDevice InputState::*device;
  const char *what;  // "Pointer", "Keyboard", "Abs pointer", "Touch"
  InputSlot index;
};

// In the order every handler visits them.
const Slot kSlots[kSlotCount] = {{&InputState::ptr, "Pointer", kPtrSlot},
                                 {&InputState::kbd, "Keyboard", kKbdSlot},
                                 {&InputState::abs, "Abs pointer", kAbsSlot},
                                 {&InputState::touch, "Touch", kTouchSlot}};

// Calls fn for each slot, in slot order, that holds device.
template <typename Fn>
void ForEachSlotHolding(InputState &state, ei_device *device, Fn fn) {
  if (device == nullptr) {
    return;
  }
  for (const Slot &slot : kSlots) {
    if ((state.*slot.device).get() == device) {
      fn(slot);
    }
  }
}

// A new device starts paused; it emulates once the compositor resumes it.
void ReplaceSlot(InputState &state, InputSlot index, ei_device *device) {
  (state.*kSlots[index].device).reset(ei_device_ref(device));
  state.emulating[index] = false;
}

void EmptySlots(InputState &state) {
  for (const Slot &slot : kSlots) {
    (state.*slot.device).reset();
  }
  ForgetEmulating(state);
}

// The compositor ended the connection: the seat, the slots (in slot order)
// and the context go. The descriptor is closed by the context.
void TearDown(InputState &state) {
  state.seat.reset();
  EmptySlots(state);
  state.ei.reset();
  state.eisFd.store(-1, std::memory_order_release);
}

// Names come from the compositor, which need not send one: a missing name
// is logged as "(null)" instead of handing a null pointer to "%s".
const char *OrNull(const char *name) { return name != nullptr ? name : "(null)"; }

void LogDeviceRegions(ei_device *device) {
  const char *name = OrNull(ei_device_get_name(device));
  for (size_t i = 0;; i++) {
    ei_region *region = ei_device_get_region(device, i);
    if (region == nullptr) {
      break;
    }
    Log_Info("sightwellInput: %s has region %dx%d@%d,%d", name,
             static_cast<int>(ei_region_get_width(region)),
             static_cast<int>(ei_region_get_height(region)),
             static_cast<int>(ei_region_get_x(region)), static_cast<int>(ei_region_get_y(region)));
  }
}

void OnDeviceAdded(InputState &state, ei_device *device) {
  if (device == nullptr) {
    return;
  }
  const char *name = OrNull(ei_device_get_name(device));
  if (ei_device_has_capability(device, EI_DEVICE_CAP_POINTER)) {
    Log_Info("sightwellInput: New pointer device: %s", name);
    ReplaceSlot(state, kPtrSlot, device);
  }
  if (ei_device_has_capability(device, EI_DEVICE_CAP_KEYBOARD)) {
    Log_Info("sightwellInput: New keyboard device: %s", name);
    ReplaceSlot(state, kKbdSlot, device);
    ei_keymap *keymap = ei_device_keyboard_get_keymap(device);
    if (keymap != nullptr) {
      Log_Info("sightwellInput: libEI keymap type %d", static_cast<int>(ei_keymap_get_type(keymap)));
    }
  }
  if (ei_device_has_capability(device, EI_DEVICE_CAP_POINTER_ABSOLUTE)) {
    Log_Info("sightwellInput: New abs pointer device: %s", name);
    ReplaceSlot(state, kAbsSlot, device);
    LogDeviceRegions(device);
  }
  if (ei_device_has_capability(device, EI_DEVICE_CAP_TOUCH)) {
    Log_Info("sightwellInput: New touch device: %s", name);
    ReplaceSlot(state, kTouchSlot, device);
    LogDeviceRegions(device);
  }
}

void OnSeatAdded(InputState &state, ei_seat *seat) {
  if (state.seat || seat == nullptr) {
    Log_Info("sightwellInput: Ignoring additional seat");
    return;
  }
  state.seat.reset(ei_seat_ref(seat));
  Log_Info("sightwellInput: Seat added: %s", OrNull(ei_seat_get_name(seat)));
  ei_seat_bind_capabilities(seat, EI_DEVICE_CAP_POINTER, EI_DEVICE_CAP_KEYBOARD,
                            EI_DEVICE_CAP_POINTER_ABSOLUTE, EI_DEVICE_CAP_TOUCH,
                            EI_DEVICE_CAP_BUTTON, EI_DEVICE_CAP_SCROLL, nullptr);
}

const char *EventDeviceName(ei_event *event) {
  ei_device *device = ei_event_get_device(event);
  return OrNull(device != nullptr ? ei_device_get_name(device) : nullptr);
}

// Handles one event. false after a disconnect: the event and then the
// context are gone, and nothing of libei may be touched any more.
bool DispatchEvent(InputState &state, EiEvent &event, uint32_t &resumeSequence) {
  ei_event *e = event.get();
  enum ei_event_type type = ei_event_get_type(e);
  switch (type) {
    case EI_EVENT_CONNECT:
      state.ei.HandshakeEnded();
      Log_Info("sightwellInput: EI_EVENT_CONNECT connected");
      break;

    case EI_EVENT_DISCONNECT:
      Log_Warning("sightwellInput: EIS disconnected us, will try reconnecting");
      // The event goes before the context: nothing libei is touched after
      // the context's last reference is gone.
      event.reset();
      state.ei.HandshakeEnded();
      TearDown(state);
      state.needsInit = true;
      SignalDisconnect(state);
      return false;

    case EI_EVENT_SEAT_ADDED:
      OnSeatAdded(state, ei_event_get_seat(e));
      break;

    case EI_EVENT_SEAT_REMOVED:
      if (state.seat && ei_event_get_seat(e) == state.seat.get()) {
        state.seat.reset();
      }
      break;

    case EI_EVENT_DEVICE_ADDED:
      OnDeviceAdded(state, ei_event_get_device(e));
      break;

    case EI_EVENT_DEVICE_REMOVED:
      ForEachSlotHolding(state, ei_event_get_device(e), [&state](const Slot &slot) {
        (state.*slot.device).reset();
        state.emulating[slot.index] = false;
        Log_Info("sightwellInput: %s device removed", slot.what);
      });
      break;

    case EI_EVENT_DEVICE_PAUSED:
      ForEachSlotHolding(state, ei_event_get_device(e), [&state](const Slot &slot) {
        state.emulating[slot.index] = false;
        Log_Info("sightwellInput: %s device paused", slot.what);
      });
      break;

    case EI_EVENT_DEVICE_RESUMED: {
      ei_device *device = ei_event_get_device(e);
      ForEachSlotHolding(state, device, [&](const Slot &slot) {
        resumeSequence++;
        ei_device_start_emulating(device, resumeSequence);
        state.emulating[slot.index] = true;
        Log_Info("sightwellInput: %s device resumed", slot.what);
      });
      break;
    }

    case EI_EVENT_DEVICE_START_EMULATING:
      Log_Info("sightwellInput: Device %s is ready to send events", EventDeviceName(e));
      break;

    case EI_EVENT_DEVICE_STOP_EMULATING:
      Log_Info("sightwellInput: Device %s will no longer send events", EventDeviceName(e));
      break;

    case EI_EVENT_SYNC:
    case EI_EVENT_FRAME:
    case EI_EVENT_POINTER_MOTION:
    case EI_EVENT_POINTER_MOTION_ABSOLUTE:
    case EI_EVENT_BUTTON_BUTTON:
    case EI_EVENT_SCROLL_DELTA:
    case EI_EVENT_SCROLL_DISCRETE:
    case EI_EVENT_KEYBOARD_KEY:
    case EI_EVENT_TOUCH_DOWN:
    case EI_EVENT_TOUCH_UP:
    case EI_EVENT_TOUCH_MOTION:
      break;

    default: {
      const char *name = ei_event_type_to_string(type);
      Log_Warning("sightwellInput: Unhandled event type %u (%s)", static_cast<unsigned>(type),
                  name != nullptr ? name : "(null)");
      break;
    }
  }
  return true;
}

// Makes sure a usable context exists, building a new one when needed (the
// D-Bus half without the lock). false when there is none; the lock is held
// again either way.
bool EnsureContext(InputState &state, std::unique_lock<std::mutex> &guard) {
  // The descriptor's identity, not just its number, is checked: libei may
  // have closed it on a hang-up and another thread reused the number.
  if (!state.needsInit && state.ei && EisSocketIsCurrent(state)) {
    return true;
  }
  // A context whose descriptor was closed behind its back still holds the
  // devices in the slots; drop them with it before building a new one.
  if (state.ei) {
    EmptySlots(state);
    ReleaseStaleContext(state);
  }
  state.needsInit = true;
  // The D-Bus calls run without the lock, so the injections never wait for
  // the compositor; they queue while needsInit is set.
  guard.unlock();
  UniqueFd fd = RequestEisFd(state);
  guard.lock();
  if (!fd.valid()) {
    return false;
  }
  SetUpContextLocked(state, std::move(fd));
  if (state.eisFd.load(std::memory_order_relaxed) < 0) {
    state.needsInit = true;
    return false;
  }
  state.needsInit = false;
  return true;
}

}  // namespace

void InputInjector::HandleEvents() {
  InputState &state = *state_;
  std::unique_lock<std::mutex> guard(state.lock);
  if (!EnsureContext(state, guard)) {
    return;
  }

  ei_dispatch(state.ei.get());
  uint32_t resumeSequence = 0;
  for (EiEvent event(ei_get_event(state.ei.get())); event;
       event.reset(ei_get_event(state.ei.get()))) {
    if (!DispatchEvent(state, event, resumeSequence)) {
      return;
    }
  }
  // Devices may have resumed: what waited for them goes out now.
  DrainQueueLocked(state);
}
