#include "base/event_fd.h"

#include <errno.h>
#include <sys/eventfd.h>
#include <unistd.h>

int SignalEventFd(int fd) {
  const uint64_t one = 1;
  ssize_t n;
  do {
    n = write(fd, &one, sizeof one);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && errno != EAGAIN) {
    return -1;
  }
  return 0;
}

int ReadEventFd(int fd, uint64_t *value) {
  uint64_t counter = 0;
  ssize_t n;
  do {
    n = read(fd, &counter, sizeof counter);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    return -1;
  }
  if (value != nullptr) {
    *value = counter;
  }
  return 0;
}

UniqueFd MakeEventFd(int extraFlags) {
  return UniqueFd(eventfd(0, EFD_CLOEXEC | extraFlags));
}
