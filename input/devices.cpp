// HandleEvents: drains the libei context, tracks the seat and the four
// device slots (ptr, kbd, abs, touch), starts emulation on resumed devices
// and turns a disconnect into a reconnect request for the input event thread.
#include <libei-1.0/libei.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "input/input.h"
#include "input/input_state.h"
#include "lib/log/log.h"

namespace {

struct Slot {
  ei_device **device;
  const char *what;  // "Pointer", "Keyboard", "Abs pointer", "Touch"
  InputSlot index;
};

void ReleaseSlot(ei_device **slot) {
  if (*slot != nullptr) {
    ei_device_unref(*slot);
    *slot = nullptr;
  }
}

// A new device starts paused; it emulates once the compositor resumes it.
void ReplaceSlot(InputState &state, const Slot &slot, ei_device *device) {
  ReleaseSlot(slot.device);
  *slot.device = ei_device_ref(device);
  state.emulating[slot.index] = false;
}

// Releases the seat, the slots (in slot order) and the context. The
// descriptor is closed by the context.
void TearDown(InputState &state, const Slot (&slots)[4]) {
  if (state.seat != nullptr) {
    ei_seat_unref(state.seat);
    state.seat = nullptr;
  }
  for (const Slot &slot : slots) {
    ReleaseSlot(slot.device);
  }
  ForgetEmulating(state);
  if (state.ei != nullptr) {
    ei_unref(state.ei);
    state.ei = nullptr;
  }
  state.connected = false;
  state.eisFd.store(-1, std::memory_order_release);
}

// Names come from the compositor, which need not send one: a missing name
// is logged as "(null)" instead of handing a null pointer to "%s".
const char *OrNull(const char *name) { return name != nullptr ? name : "(null)"; }

void DeviceAdded(InputState &state, ei_device *device, const Slot (&slots)[4]) {
  const char *name = OrNull(ei_device_get_name(device));
  if (ei_device_has_capability(device, EI_DEVICE_CAP_POINTER)) {
    Log_Info("sightwellInput: New pointer device: %s", name);
    ReplaceSlot(state, slots[0], device);
  }
  if (ei_device_has_capability(device, EI_DEVICE_CAP_KEYBOARD)) {
    Log_Info("sightwellInput: New keyboard device: %s", name);
    ReplaceSlot(state, slots[1], device);
    ei_keymap *keymap = ei_device_keyboard_get_keymap(device);
    if (keymap != nullptr) {
      Log_Info("sightwellInput: libEI keymap type %d", static_cast<int>(ei_keymap_get_type(keymap)));
    }
  }
  if (ei_device_has_capability(device, EI_DEVICE_CAP_POINTER_ABSOLUTE)) {
    Log_Info("sightwellInput: New abs pointer device: %s", name);
    ReplaceSlot(state, slots[2], device);
    LogDeviceRegions(device);
  }
  if (ei_device_has_capability(device, EI_DEVICE_CAP_TOUCH)) {
    Log_Info("sightwellInput: New touch device: %s", name);
    ReplaceSlot(state, slots[3], device);
    LogDeviceRegions(device);
  }
}

const char *EventDeviceName(ei_event *event) {
  ei_device *device = ei_event_get_device(event);
  return OrNull(device != nullptr ? ei_device_get_name(device) : nullptr);
}

}  // namespace

void LogDeviceRegions(ei_device *device) {
  if (device == nullptr) {
    return;
  }
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

void HandleEvents(ei_device **ptr, ei_device **kbd, ei_device **abs, ei_device **touch) {
  if (ptr == nullptr || kbd == nullptr || abs == nullptr || touch == nullptr) {
    Log_Error("sightwellInput: HandleEvents called with NULL parameter: ptr=%p kbd=%p abs=%p touch=%p",
              static_cast<void *>(ptr), static_cast<void *>(kbd), static_cast<void *>(abs),
              static_cast<void *>(touch));
    return;
  }
  const Slot slots[4] = {{ptr, "Pointer", kPtrSlot},
                         {kbd, "Keyboard", kKbdSlot},
                         {abs, "Abs pointer", kAbsSlot},
                         {touch, "Touch", kTouchSlot}};
  InputState &state = TheInputState();

  std::unique_lock<std::mutex> guard(InputLock());
  // The descriptor's identity, not just its number, is checked: libei may
  // have closed it on a hang-up and another thread reused the number.
  bool usable = !state.needsInit && state.ei != nullptr && EisSocketIsCurrent(state);
  if (!usable) {
    // A context whose descriptor was closed behind its back still holds the
    // devices in the slots; drop them with it before building a new one.
    if (state.ei != nullptr) {
      for (const Slot &slot : slots) {
        ReleaseSlot(slot.device);
      }
      ForgetEmulating(state);
      ReleaseStaleContext(state);
    }
    state.needsInit = true;
    // The D-Bus calls run without the lock, so the injections never wait
    // for the compositor; they queue while needsInit is set.
    guard.unlock();
    int fd = RequestEisFd(state);
    if (fd < 0) {
      return;
    }
    guard.lock();
    SetUpContextLocked(state, fd);
    if (state.eisFd.load(std::memory_order_relaxed) < 0) {
      state.needsInit = true;
      return;
    }
    state.needsInit = false;
  }

  ei_dispatch(state.ei);

  uint32_t resumeSequence = 0;
  for (ei_event *event = ei_get_event(state.ei); event != nullptr;
       event = ei_get_event(state.ei)) {
    enum ei_event_type type = ei_event_get_type(event);
    switch (type) {
      case EI_EVENT_CONNECT:
        state.connected = true;
        Log_Info("sightwellInput: EI_EVENT_CONNECT connected");
        break;

      case EI_EVENT_DISCONNECT:
        Log_Warning("sightwellInput: EIS disconnected us, will try reconnecting");
        // The event goes before the context: nothing libei is touched after
        // the context's last reference is gone.
        ei_event_unref(event);
        TearDown(state, slots);
        state.needsInit = true;
        SignalDisconnect(state);
        return;

      case EI_EVENT_SEAT_ADDED: {
        ei_seat *seat = ei_event_get_seat(event);
        if (state.seat == nullptr && seat != nullptr) {
          state.seat = ei_seat_ref(seat);
          Log_Info("sightwellInput: Seat added: %s", OrNull(ei_seat_get_name(seat)));
          ei_seat_bind_capabilities(seat, EI_DEVICE_CAP_POINTER, EI_DEVICE_CAP_KEYBOARD,
                                    EI_DEVICE_CAP_POINTER_ABSOLUTE, EI_DEVICE_CAP_TOUCH,
                                    EI_DEVICE_CAP_BUTTON, EI_DEVICE_CAP_SCROLL, nullptr);
        } else {
          Log_Info("sightwellInput: Ignoring additional seat");
        }
        break;
      }

      case EI_EVENT_SEAT_REMOVED:
        if (state.seat != nullptr && ei_event_get_seat(event) == state.seat) {
          ei_seat_unref(state.seat);
          state.seat = nullptr;
        }
        break;

      case EI_EVENT_DEVICE_ADDED: {
        ei_device *device = ei_event_get_device(event);
        if (device != nullptr) {
          DeviceAdded(state, device, slots);
        }
        break;
      }

      case EI_EVENT_DEVICE_REMOVED: {
        ei_device *device = ei_event_get_device(event);
        for (const Slot &slot : slots) {
          if (device != nullptr && *slot.device == device) {
            ReleaseSlot(slot.device);
            state.emulating[slot.index] = false;
            Log_Info("sightwellInput: %s device removed", slot.what);
          }
        }
        break;
      }

      case EI_EVENT_DEVICE_PAUSED: {
        ei_device *device = ei_event_get_device(event);
        for (const Slot &slot : slots) {
          if (device != nullptr && *slot.device == device) {
            state.emulating[slot.index] = false;
            Log_Info("sightwellInput: %s device paused", slot.what);
          }
        }
        break;
      }

      case EI_EVENT_DEVICE_RESUMED: {
        ei_device *device = ei_event_get_device(event);
        for (const Slot &slot : slots) {
          if (device != nullptr && *slot.device == device) {
            resumeSequence++;
            ei_device_start_emulating(device, resumeSequence);
            state.emulating[slot.index] = true;
            Log_Info("sightwellInput: %s device resumed", slot.what);
          }
        }
        break;
      }

      case EI_EVENT_DEVICE_START_EMULATING:
        Log_Info("sightwellInput: Device %s is ready to send events", EventDeviceName(event));
        break;

      case EI_EVENT_DEVICE_STOP_EMULATING:
        Log_Info("sightwellInput: Device %s will no longer send events", EventDeviceName(event));
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
    ei_event_unref(event);
  }
  // Devices may have resumed: what waited for them goes out now.
  DrainQueueLocked(state);
}
