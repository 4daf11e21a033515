// InputInjector: input injection through the compositor's RemoteDesktop API
// and libei, as one object. It owns the input state (bus connection,
// RemoteDesktop session, libei context, seat), the device slots `ptr`,
// `kbd`, `abs` and `touch`, the button state, the queue of input not sent
// yet, and the input event thread "inputEvent".
//
// The input event thread creates and releases the libei context and the
// devices; the remote routine's thread injects through them. One lock,
// internal to the object, covers Init's libei half, HandleEvents and each
// injection. Input that cannot go out now (no emulating device, a
// reconnect, a full EIS socket) is queued in order and sent by whichever
// thread next finds the way clear.
#pragma once

#include <cstdint>
#include <memory>

#include "base/channel_message.h"
#include "base/stop_token.h"
#include "lib/thread/vthread.h"

struct InputState;

// The agent's eventfds the input event thread uses. Borrowed: the remote
// routine creates them, and closes them only after the thread is joined.
struct InputWakeFds {
  int inputWaker = -1;    // wakes the thread: a stop, or input waiting for room
  int disconnect = -1;    // written when the EIS connection is lost
  int captureWaker = -1;  // woken with the stop when the thread's set-up fails
};

class InputInjector {
 public:
  // agentStopping is the agent's stop token; it must outlive the object.
  explicit InputInjector(StopToken &agentStopping);
  // Joins the input event thread if it still runs, then releases the
  // devices, the seat, the context and the bus connection.
  ~InputInjector();
  InputInjector(const InputInjector &) = delete;
  InputInjector &operator=(const InputInjector &) = delete;

  // Starts the input event thread. false (nothing started) when the thread
  // could not be created.
  bool StartEventThread(const InputWakeFds &fds);
  // The running thread's id, 0 when none runs.
  VThreadID EventThreadId() const { return thread_; }
  // Sets the stop token, wakes the thread and joins it; nothing when none
  // runs. The context, the devices and the session stay with the object.
  void StopEventThread();

  // On the remote routine's thread: the parent's pointer and key records.
  void InjectMouseEvent(const MouseRecord &record);
  void InjectKeyEvent(uint16_t vscancode, uint8_t pressed);

  // The input event thread's steps, public so that tests can run them on a
  // thread of their own instead.
  // RemoteDesktop session + EIS connection; the result is read back through
  // GetEisFd (-1 on failure).
  void Init();
  // Dispatches pending libei events into the device slots; runs Init first
  // when the context is gone.
  void HandleEvents();
  int GetEisFd() const;
  void SetDisconnectFd(int fd);
  // True while queued input waits only for room on the EIS socket. The input
  // event thread asks before each poll; until it asks again, the injections
  // take it that it polls for room as the answer said, and wake it only when
  // a wait begins that it has not seen.
  bool QueuedInputWaitsForRoom();
  // Sends what the queue holds, as far as the devices and the socket allow.
  void SendQueuedInput();

  // The state itself, for tests that set up or inspect what the steps above
  // decide on (under state().lock while another thread may run).
  InputState &state() { return *state_; }

 private:
  static void InputEventThread(void *self);
  void RunInputEventThread();

  std::unique_ptr<InputState> state_;
  InputWakeFds fds_;
  VThreadID thread_ = 0;
};
