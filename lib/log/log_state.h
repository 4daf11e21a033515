// The facility's process-wide state, shared by the files of lib/log that
// implement its calls. Outputs never see it (LogState is opaque to them).
#pragma once

#include <atomic>

#include "lib/lock/userlock.h"
#include "lib/log/log_output.h"
#include "lib/log/log_ring.h"

constexpr size_t kLogLocalBufferSize = 319;
constexpr size_t kLogSharedBufferSize = 32767;
constexpr size_t kLogRingPopBufferSize = 32768;
constexpr MX_Rank kLogLockRank = 0xff000002;

// Static storage so that logging works before and without the heap.
extern uint8_t gLogRingStorage[kLogRingSize];
extern char gLogSharedStorage[kLogSharedBufferSize];

struct LogState {
  std::atomic<MXUserRecLock *> lock{nullptr};
  std::atomic<bool> bypass{false};
  std::atomic<int> lockCreating{0};
  std::atomic<int> depth{0};
  LogModuleEntry global{"", kLogInfo, -1};
  std::atomic<char *> sharedBuffer{gLogSharedStorage};  // null while in use
  LogRing ring{gLogRingStorage, kLogRingSize, 0, 0, 0, 0};
  int outputCount = 0;
  LogOutput *outputs[kLogMaxOutputs] = {};
  std::atomic<LogOpIdFunction> opIdFunction{nullptr};  // read by opens outside the lock
};

LogState &LogTheState();
// The facility's lock (recursive): counts the holder's depth. LogLock
// returns whether it locked (false while locking is bypassed); pass that to
// LogUnlock.
bool LogLock();
void LogUnlock(bool locked);
// Delivers one message to the registered outputs (lock held).
void LogDeliver(LogMessageHeader *header, const char *text, size_t length);
// Delivers the messages queued in the early ring when it is called (lock
// held); what their delivery queues waits for the next message.
void LogFlushRing();
// The module row of number, or null outside 1..314.
LogModuleEntry *LogModuleRow(int number);
// Recomputes the global record from the registered outputs (lock held).
void LogRecomputeGlobal();
// Threshold fields are written under the lock but read without it before
// any formatting, so every access goes through these.
inline int32_t LogLoadLevel(const int32_t &field) {
  return std::atomic_ref<int32_t>(const_cast<int32_t &>(field)).load(std::memory_order_relaxed);
}
inline void LogStoreLevel(int32_t &field, int32_t value) {
  std::atomic_ref<int32_t>(field).store(value, std::memory_order_relaxed);
}

// Saves errno on entry and restores it on exit.
class LogErrnoKeeper {
 public:
  LogErrnoKeeper();
  ~LogErrnoKeeper();
  LogErrnoKeeper(const LogErrnoKeeper &) = delete;
  LogErrnoKeeper &operator=(const LogErrnoKeeper &) = delete;

 private:
  int saved_;
};

// Holds the facility's lock for a scope.
class LogLockHolder {
 public:
  LogLockHolder() : locked_(LogLock()) {}
  ~LogLockHolder() { LogUnlock(locked_); }
  LogLockHolder(const LogLockHolder &) = delete;
  LogLockHolder &operator=(const LogLockHolder &) = delete;

 private:
  bool locked_;
};
