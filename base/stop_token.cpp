#include "base/stop_token.h"

#include <errno.h>

#include "base/event_fd.h"
#include "lib/log/log.h"

void StopToken::RequestStop(int eventFd) {
  set_.store(true, std::memory_order_release);
  if (SignalEventFd(eventFd) < 0) {
    Log_Warning("Failed to write to wakerFd while stopping, errno = %d", errno);
  }
}
