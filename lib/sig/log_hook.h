// The road by which the modules below the log facility (panic, locks,
// threads, user messages, code sets, Unicode names, dictionaries) write to
// the log. The facility sits above them: it takes their locks, names their
// threads, converts with their code sets and reads its options from the
// preferences, so they cannot call it. They call LogHook_* instead, and
// lib/log installs itself as the hook before main runs in every program
// that links it, so their messages take the facility's road (levels, early
// ring, outputs) from the first one on. A program without the facility
// gets them on standard error.
//
// The levels and the level argument are defined here, at the bottom, and
// shared with the facility's own calls (lib/log/log.h).
#pragma once

#include <cstdarg>
#include <cstdint>

// Levels (the low 5 bits of a level argument). Bits above them, shifted
// right by 5, carry the module number (0 = no module).
enum : uint32_t {
  kLogAudit = 0,
  kLogPanic = 1,
  kLogError = 2,
  kLogWarning = 3,
  kLogNotice = 4,
  kLogInfo = 5,
  kLogVerbose = 6,
  kLogTrivia = 7,
  kLogDebug = 8,  // 9..23 are debug1..debug15
};

constexpr uint32_t kLogModuleShift = 5;
constexpr uint32_t kLogLevelMask = 0x1F;

// Builds a level argument for a module-tagged message.
constexpr uint32_t LogModuleLevel(uint32_t module, uint32_t level) {
  return (module << kLogModuleShift) | (level & kLogLevelMask);
}

#define SW_PRINTF(fmtIndex, argIndex) __attribute__((format(printf, fmtIndex, argIndex)))

// What the facility offers the modules below it.
struct LogHook {
  void (*levelV)(uint32_t level, const char *fmt, va_list args);
  // Lets everything that follows through, whatever the outputs' throttling
  // (a panic's last lines).
  void (*disableThrottling)(void);
};

// Installs hook (kept, not copied: it must live as long as the process);
// null restores the standard-error default.
void LogHook_Install(const LogHook *hook);

// Message calls; like the facility's own, they leave errno unchanged.
void LogHook_LevelV(uint32_t level, const char *fmt, va_list args) SW_PRINTF(2, 0);
void LogHook_Level(uint32_t level, const char *fmt, ...) SW_PRINTF(2, 3);
void LogHook_Info(const char *fmt, ...) SW_PRINTF(1, 2);
void LogHook_Warning(const char *fmt, ...) SW_PRINTF(1, 2);
void LogHook_DisableThrottling(void);
