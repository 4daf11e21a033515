// The single InputState and its lock.
#include "input/input_state.h"

#include <fcntl.h>

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
