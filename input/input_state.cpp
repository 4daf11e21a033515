// The single InputState and its lock.
#include "input/input_state.h"

#include <fcntl.h>
#include <libei-1.0/libei.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "lib/log/log.h"

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
  if (fd < 0) {
    return;
  }
  uint64_t one = 1;
  if (write(fd, &one, sizeof one) != static_cast<ssize_t>(sizeof one)) {
    Log_Error("sightwellInput: Failed to signal disconnectFd, errno=%d", errno);
  }
}

void ForgetEmulating(InputState &state) {
  for (bool &emulating : state.emulating) {
    emulating = false;
  }
}
