// Wake-ups between the agent's threads. Each eventfd is written by any
// thread and read by the one thread that waits on it.
#pragma once

#include <cstdint>

#include "lib/misc/unique_fd.h"

// Adds 1 to the counter (one unit in semaphore mode), retrying EINTR. A
// counter already at its maximum (EAGAIN) wakes its reader all the same, so
// it counts as done. Returns 0, or -1 with errno set.
int SignalEventFd(int fd);

// Reads the counter (one unit in semaphore mode), retrying EINTR; the value
// goes to *value when given. Returns 0, or -1 with errno set (EAGAIN: the
// counter was zero on a non-blocking descriptor).
int ReadEventFd(int fd, uint64_t *value = nullptr);

// A new close-on-exec eventfd at 0; extraFlags may add EFD_NONBLOCK and
// EFD_SEMAPHORE. Invalid (errno set) on failure.
UniqueFd MakeEventFd(int extraFlags);
