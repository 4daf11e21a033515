// InputState: the input module's process-wide record, and the lock that
// serialises the input event thread (Init, HandleEvents) against the
// injections on the remote routine's thread.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <mutex>

struct ei;
struct ei_seat;
struct _GDBusConnection;

struct InputState {
  // Session bus connection and RemoteDesktop session of the last Init that
  // reached EIS; set and cleared together. One reference / owned copy.
  _GDBusConnection *connection = nullptr;
  char *sessionPath = nullptr;
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
};

// Releases a context that is being replaced while still alive: released when
// it had connected, otherwise left alone (a small leak instead of a crash).
void ReleaseStaleContext(InputState &state);

InputState &TheInputState();

// Held around Init, HandleEvents and each injection; never across poll.
std::mutex &InputLock();

// Init's body; the caller holds InputLock().
void InitLocked(InputState &state);

// True when fd is an open descriptor.
bool InputFdIsOpen(int fd);

// Records the identity of the socket now in eisFd.
void RememberEisSocket(InputState &state, int fd);
// True while eisFd is the socket that was handed to libei.
bool EisSocketIsCurrent(const InputState &state);

// Writes 1 to disconnectFd (when installed) so the input event thread arms
// its reconnect timer.
void SignalDisconnect(InputState &state);
