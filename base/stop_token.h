// The agent's stop flag: set once by RequestStop, never cleared; every loop
// of the agent tests it. One lives in the agent's context and is handed by
// reference to the subsystems whose waits it must cut short.
#pragma once

#include <atomic>

class StopToken {
 public:
  StopToken() = default;
  StopToken(const StopToken &) = delete;
  StopToken &operator=(const StopToken &) = delete;

  // Sets the flag, then writes 1 to eventFd: the flag is published before
  // the wake-up, so whoever reads the eventfd sees it set. A failed write
  // other than EAGAIN is logged as a warning.
  void RequestStop(int eventFd);

  bool IsSet() const { return set_.load(std::memory_order_acquire); }

  // The flag itself, for waits that poll a flag rather than a descriptor
  // (a D-Bus call's cancellation check).
  const std::atomic<bool> &flag() const { return set_; }

 private:
  std::atomic<bool> set_{false};
};
