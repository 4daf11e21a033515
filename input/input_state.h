// InputState: everything the input subsystem holds, owned by one
// InputInjector, and the lock that serialises the input event thread (Init,
// HandleEvents) against the injections on the remote routine's thread.
// Internal to input/ (and its tests); the agent sees only input/input.h.
#pragma once

#include <gio/gio.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "base/glib_owner.h"
#include "base/stop_token.h"
#include "input/ei_owner.h"
#include "input/input_queue.h"
#include "lib/misc/unique_fd.h"

// Device slot indexes, in the order HandleEvents visits the slots.
enum InputSlot : int { kPtrSlot = 0, kKbdSlot = 1, kAbsSlot = 2, kTouchSlot = 3, kSlotCount = 4 };

struct InputState {
  explicit InputState(StopToken &agentStopping) : stop(agentStopping) {}
  InputState(const InputState &) = delete;
  InputState &operator=(const InputState &) = delete;

  // The agent's stop token: ends the D-Bus calls of Init early once set,
  // and is what the input event thread sets when its own set-up fails.
  StopToken &stop;

  // Session bus connection and RemoteDesktop session of the last Init that
  // reached EIS; set and cleared together (an empty path is none).
  // Only the input event thread touches them, and without the lock: the
  // D-Bus calls that use them must not hold up the injections.
  GRef<GDBusConnection> connection;
  std::string sessionPath;

  // The sender context; it owns eisFd once set up. Declared before the seat
  // and the devices so that it is released after them.
  EiContext ei;
  std::atomic<int> eisFd{-1};       // >= 0 exactly while a context is usable
  std::atomic<int> disconnectFd{-1};
  EiSeat seat;                      // the one seat in use
  bool needsInit = false;           // re-create the context before dispatching
  // Identity of the socket behind eisFd. libei closes the descriptor when it
  // reads a hang-up, and the number may then be reused by any other thread;
  // the identity tells the EIS socket from a newcomer with its number.
  dev_t eisDev = 0;
  ino_t eisIno = 0;

  // Held around Init's libei half, HandleEvents and each injection; never
  // across poll or a D-Bus call.
  std::mutex lock;

  // Everything below is guarded by lock.
  // The device slots, one reference each; one device with several
  // capabilities sits in several slots.
  EiDevice ptr;
  EiDevice kbd;
  EiDevice abs;
  EiDevice touch;
  // The compositor resumed the device in that slot and it is emulating:
  // events sent to a paused device are thrown away by libei.
  bool emulating[kSlotCount] = {};
  // The button state last sent: the buttons word (low 16 bits) and the
  // mask of the three buttons it pressed.
  uint16_t lastButtons = 0;
  uint16_t lastButtonMask = 0;
  // Input not sent yet, in arrival order.
  InputQueue queue;
  // The head of the queue waits only for room on the EIS socket.
  bool waitingForRoom = false;
  // The input event thread polls the socket for room: it saw the queue
  // waiting when it last looked, or a wake asking it to look is on its way.
  // While so, a record queued behind the wait needs no wake of its own (a
  // wake per record kept that thread fighting the routine for the lock).
  bool threadPollsForRoom = false;
  // Devices were found missing since the queue last ran empty (logged once).
  bool keyDeviceMissing = false;
  bool mouseDeviceMissing = false;
  uint32_t sentAfterOutage = 0;  // sent since then, logged once it is empty
  uint32_t givenUp = 0;          // not yet logged
  uint64_t givenUpLoggedNs = 0;
  // How long the remote routine may still wait for room on the EIS socket
  // before a full queue gives up entries instead; refilled whenever the
  // socket takes something.
  static constexpr int kRoomBudgetMs = 1000;
  int roomBudgetMs = kRoomBudgetMs;
  // eventfd of the input event thread, written when the queue waits for
  // room, so that thread polls the socket for it (atomic: set once, read
  // without the lock). Borrowed from the agent.
  std::atomic<int> wakeFd{-1};
};

// Releases a context that is being replaced while still alive, with its
// seat (see EiContext for the one kind that is left alone).
void ReleaseStaleContext(InputState &state);

// Init's D-Bus half, run without the lock on the input event thread: stops
// the previous session, creates, starts and connects a new one and returns
// its EIS descriptor, or an invalid one (logged).
UniqueFd RequestEisFd(InputState &state);
// Init's libei half; the caller holds the lock.
void SetUpContextLocked(InputState &state, UniqueFd fd);

// Sends what the queue holds while the devices emulate and the socket has
// room; ages out what is too old. The caller holds the lock.
void DrainQueueLocked(InputState &state);
// Forgets which devices emulate (the slots are being emptied).
void ForgetEmulating(InputState &state);

// Records the identity of the socket now in eisFd.
void RememberEisSocket(InputState &state, int fd);
// True while eisFd is the socket that was handed to libei.
bool EisSocketIsCurrent(const InputState &state);

// Writes 1 to disconnectFd (when installed) so the input event thread arms
// its reconnect timer.
void SignalDisconnect(InputState &state);
