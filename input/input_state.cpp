// The single InputState and its lock.
#include "input/input_state.h"

#include <fcntl.h>
#include <libei-1.0/libei.h>

InputState &TheInputState() {
  // Lives for the whole process; nothing tears it down at exit.
  static InputState *state = new InputState();
  return *state;
}

std::mutex &InputLock() {
  static std::mutex *lock = new std::mutex();
  return *lock;
}

bool InputFdIsOpen(int fd) {
  return fd >= 0 && fcntl(fd, F_GETFD) != -1;
}

void ReleaseStaleContext(InputState &state) {
  if (state.seat != nullptr) {
    ei_seat_unref(state.seat);
    state.seat = nullptr;
  }
  if (state.ei != nullptr && state.connected) {
    ei_unref(state.ei);
  }
  state.ei = nullptr;
  state.connected = false;
  state.eisFd.store(-1, std::memory_order_release);
}
