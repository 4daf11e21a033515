// The process-wide stop flag and the request that sets it.

#include <errno.h>
#include <unistd.h>

#include <cstdint>

#include "agent/remote_context.h"
#include "lib/log/log.h"

std::atomic<bool> agentStopping{false};

void RequestStop(int eventFd) {
  // The flag is published before the wake-up, so whoever reads the eventfd
  // sees it set.
  agentStopping.store(true, std::memory_order_release);
  uint64_t one = 1;
  ssize_t n;
  do {
    n = write(eventFd, &one, sizeof one);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && errno != EAGAIN) {
    Log_Warning("Failed to write to wakerFd while stopping, errno = %d", errno);
  }
}
