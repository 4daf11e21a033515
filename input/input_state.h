// InputState: the input module's process-wide record, and the lock that
// serialises the input event thread (Init, HandleEvents) against the
// injections on the remote routine's thread.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "input/input_queue.h"

struct ei;
struct ei_seat;
struct ei_device;
struct _GDBusConnection;

// Device slot indexes, in the order HandleEvents visits the slots.
enum InputSlot : int { kPtrSlot = 0, kKbdSlot = 1, kAbsSlot = 2, kTouchSlot = 3, kSlotCount = 4 };

struct InputState {
  // Session bus connection and RemoteDesktop session of the last Init that
  // reached EIS; set and cleared together. One reference / owned copy.
  // Only the input event thread touches them, and without the input lock:
  // the D-Bus calls that use them must not hold up the injections.
  _GDBusConnection *connection = nullptr;
  char *sessionPath = nullptr;
  // Ends the D-Bus calls of Init early once set (the agent's stop flag).
  std::atomic<const std::atomic<bool> *> stopFlag{nullptr};
  struct ei *ei = nullptr;          // sender context; owns eisFd once set up
  std::atomic<int> eisFd{-1};       // >= 0 exactly while a context is usable
  std::atomic<int> disconnectFd{-1};
  ei_seat *seat = nullptr;          // the one seat in use
  bool needsInit = false;           // re-create the context before dispatching
  // Identity of the socket behind eisFd. libei closes the descriptor when it
  // reads a hang-up, and the number may then be reused by any other thread;
  // the identity tells the EIS socket from a newcomer with its number.
  dev_t eisDev = 0;
  ino_t eisIno = 0;
  // The context saw EI_EVENT_CONNECT. libei 1.3 crashes when a context is
  // released before its handshake finished, so only such contexts are.
  bool connected = false;

  // Everything below is guarded by InputLock().
  // The compositor resumed the device in that slot and it is emulating:
  // events sent to a paused device are thrown away by libei.
  bool emulating[kSlotCount] = {};
  // Input not sent yet, in arrival order, and where it goes: the slots and
  // button state words of the injection calls (the same for the life of
  // the agent, so the input event thread can send what waits).
  InputQueue queue;
  ei_device **kbdSlot = nullptr;
  ei_device **absSlot = nullptr;
  uint16_t *lastButtons = nullptr;
  uint16_t *lastButtonMask = nullptr;
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
  // without the lock).
  std::atomic<int> wakeFd{-1};
};

// Releases a context that is being replaced while still alive: released when
// it had connected, otherwise left alone (a small leak instead of a crash).
void ReleaseStaleContext(InputState &state);

InputState &TheInputState();

// Held around Init, HandleEvents and each injection; never across poll.
std::mutex &InputLock();

// Init's D-Bus half, run without the input lock on the input event
// thread: stops the previous session, creates, starts and connects a new
// one and returns its EIS descriptor, or -1 (logged).
int RequestEisFd(InputState &state);
// Init's libei half; the caller holds InputLock(). Takes fd.
void SetUpContextLocked(InputState &state, int fd);

// Sends what the queue holds while the devices emulate and the socket has
// room; ages out what is too old. The caller holds InputLock().
void DrainQueueLocked(InputState &state);
// Forgets which devices emulate (the slots are being emptied).
void ForgetEmulating(InputState &state);

// True when fd is an open descriptor.
bool InputFdIsOpen(int fd);

// Records the identity of the socket now in eisFd.
void RememberEisSocket(InputState &state, int fd);
// True while eisFd is the socket that was handed to libei.
bool EisSocketIsCurrent(const InputState &state);

// Writes 1 to disconnectFd (when installed) so the input event thread arms
// its reconnect timer.
void SignalDisconnect(InputState &state);
