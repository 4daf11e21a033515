// The InputInjector's life and the small helpers on its state.
#include "input/input_state.h"

#include <sys/stat.h>

#include <cerrno>

#include "base/event_fd.h"
#include "input/input.h"
#include "lib/log/log.h"

InputInjector::InputInjector(StopToken &agentStopping)
    : state_(std::make_unique<InputState>(agentStopping)) {}

// The thread goes first: it uses the state. The state's members are then
// released in reverse order of declaration: the devices, the seat, the
// context, the connection.
InputInjector::~InputInjector() { StopEventThread(); }

void ReleaseStaleContext(InputState &state) {
  state.seat.reset();
  state.ei.reset();
  state.eisFd.store(-1, std::memory_order_release);
}

void RememberEisSocket(InputState &state, int fd) {
  struct stat st {};
  if (fstat(fd, &st) == 0) {
    state.eisDev = st.st_dev;
    state.eisIno = st.st_ino;
  } else {
    state.eisDev = 0;
    state.eisIno = 0;
  }
}

bool EisSocketIsCurrent(const InputState &state) {
  int fd = state.eisFd.load(std::memory_order_relaxed);
  struct stat st {};
  return fd >= 0 && fstat(fd, &st) == 0 && st.st_dev == state.eisDev && st.st_ino == state.eisIno;
}

void SignalDisconnect(InputState &state) {
  int fd = state.disconnectFd.load(std::memory_order_acquire);
  if (fd >= 0 && SignalEventFd(fd) < 0) {
    Log_Error("sightwellInput: Failed to signal disconnectFd, errno=%d", errno);
  }
}

void ForgetEmulating(InputState &state) {
  for (bool &emulating : state.emulating) {
    emulating = false;
  }
}
