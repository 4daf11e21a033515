// The log file output's record and the pieces its source files share.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lib/log/log_file_output.h"
#include "lib/log/log_ring.h"

constexpr size_t kLogFileScratchSize = 32769;
constexpr size_t kLogFilePrefixMax = 256;
constexpr size_t kLogFileLineBufferSize = kLogFilePrefixMax + kLogFileScratchSize;
constexpr uint32_t kLogFileNoThrottleLimit = UINT32_MAX;

struct LogFileOutput {
  LogOutput head;  // first: the facility sees only this
  char *fileName;
  char *suffix;
  char *logDir;
  bool opened;
  bool openResult;
  bool append;
  bool fastRotation;
  bool syncAfterWrite;
  bool nameGenerated;
  bool systemArea;
  int32_t keepOld;
  int32_t permissions;
  int64_t hostUtcOffset;  // seconds east of UTC, at creation
  uint64_t bytesWritten;
  int32_t rotateSize;     // 0: no size rotation
  uint64_t bytesDiscarded;
  int fd;                 // -1 while no file is open
  bool midLine;           // the last write was cut inside a line
  // A size rotation that failed is reported once and retried no sooner than
  // rotateRetryUs, silently, until one succeeds. reopenPending: the files
  // were already moved (or the new file could not be labelled), so the
  // retry only opens the name again and must not move them a second time.
  bool rotationFailing;
  bool reopenPending;
  uint64_t rotateRetryUs;
  LogPrefixSwitches switches;
  uint64_t throttleThreshold;
  uint64_t throttleTotal;
  uint64_t throttleLastTotal;
  uint64_t throttleLastCheckUs;
  uint32_t throttleLimit;  // bytes per second; UINT32_MAX none, 0 stop for good
  bool throttled;
  LogRing throttleRing;
  uint8_t *throttleStorage;
  char scratch[kLogFileScratchSize];
  char lineBuffer[kLogFileLineBufferSize];
};

inline LogFileOutput *AsFileOutput(LogOutput *output) {
  return reinterpret_cast<LogFileOutput *>(output);
}

// Opening (the output's open operation) and the safe open of one path.
bool LogFileOpen(LogOutput *output);
// report false: a retry of a failure already logged stays quiet.
int LogFileSafeOpen(const LogFileOutput *out, bool report = true);
// Rotates the output's files and logs how long it took; false when the
// current file could not be moved out of the way.
bool LogFileRotate(LogFileOutput *out, bool report = true);
// File_Rotate with its failure messages optional.
bool LogFileRotateFiles(const char *fileName, int keepOld, bool fast, bool report);

// The output's log operation and the identification block.
void LogFileLogLine(LogOutput *output, LogMessageHeader *header, size_t length, const char *line);
bool LogFileWriteIdentification(LogFileOutput *out, const LogMessageHeader &header);
// A header of the current time and thread at the given level.
void LogFileMakeHeader(LogMessageHeader *header, uint32_t level);

// Settles the file name and directory of a new output (false: creation
// fails; the reason is logged).
bool LogFileSettleName(LogFileOutput *out, const char *configKey, const char *paramFileName,
                       const LogConfigProvider *provider);

// Test seams: the folder standing for "/var/log/velmora", and the clocks
// the throttle and the rotation timing read (microseconds, monotonic).
void LogFileSetSystemLogDir(const char *dir);
typedef uint64_t (*LogFileClock)(void);
void LogFileSetClock(LogFileClock clock);
uint64_t LogFileNowUs(void);
