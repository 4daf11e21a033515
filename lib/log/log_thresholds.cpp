// Threshold setters and getters, and module numbers and names.
#include <cstring>

#include "lib/log/log_state.h"

namespace {

LogModuleEntry *RecordFor(int module) {
  return module == 0 ? &LogTheState().global : LogModuleRow(module);
}

}  // namespace

int Log_SetLogLevel(int module, int level) {
  LogErrnoKeeper keepErrno;
  LogModuleEntry *record = RecordFor(module);
  if (record == nullptr) {
    return -1;
  }
  LogLockHolder holder;
  LogStoreLevel(record->logLevel, level);
  return level;
}

int Log_SetStderrLevel(int module, int level) {
  LogErrnoKeeper keepErrno;
  LogModuleEntry *record = RecordFor(module);
  if (record == nullptr) {
    return -1;
  }
  LogLockHolder holder;
  LogStoreLevel(record->stderrLevel, level);
  return level;
}

int Log_GetLogLevel(int module) {
  LogErrnoKeeper keepErrno;
  LogModuleEntry *record = RecordFor(module);
  if (record == nullptr) {
    return -1;
  }
  LogLockHolder holder;
  return LogLoadLevel(record->logLevel);
}

int Log_GetStderrLevel(int module) {
  LogErrnoKeeper keepErrno;
  LogModuleEntry *record = RecordFor(module);
  if (record == nullptr) {
    return -1;
  }
  LogLockHolder holder;
  return LogLoadLevel(record->stderrLevel);
}

bool Log_IsLevelOn(uint32_t levelArg) {
  LogErrnoKeeper keepErrno;
  LogState &s = LogTheState();
  LogLockHolder holder;
  if (s.outputCount == 0) {
    return false;
  }
  uint32_t level = levelArg & kLogLevelMask;
  if (level == kLogAudit) {
    return true;
  }
  const LogModuleEntry *record = LogModuleRow(static_cast<int>(levelArg >> kLogModuleShift));
  if (record == nullptr) {
    record = &s.global;
  }
  return LogLoadLevel(record->logLevel) >= static_cast<int64_t>(level);
}

int Log_ModuleNumber(const char *name) {
  if (name == nullptr) {
    return -1;
  }
  for (int i = 1; i <= kLogModuleCount; i++) {
    if (strcmp(LogModuleTableName(i), name) == 0) {
      return i;
    }
  }
  return -1;
}

const char *Log_ModuleName(int number) {
  return number == 0 ? "" : LogModuleTableName(number);
}
