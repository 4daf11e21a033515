// The records an output implementation shares with the log facility: the
// level and module tables, the per-message header handed to outputs, the
// common LogOutput head, the configuration provider and the byte ring.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lib/log/log.h"

struct LogLevelEntry {
  int32_t value;
  const char *name;
  const char *designator;
};

// A module row; the global record uses the same shape with an empty name.
struct LogModuleEntry {
  const char *name;
  int32_t logLevel;     // file threshold, -1 passes nothing
  int32_t stderrLevel;  // stderr threshold, -1 passes nothing
};

constexpr int kLogLevelCount = 24;
extern const LogLevelEntry kLogLevelTable[kLogLevelCount];

// Row for a raw level value: values 24..31 show as "info".
const LogLevelEntry *LogLevelRow(uint32_t level);
// Name of module row number (1..314), or null.
const char *LogModuleTableName(int number);
// Level value by name, ignoring case; -1 when no level has that name.
int LogLevelByName(const char *name);

struct LogTimeStamp {
  char dateTime[40];
  char milliSec[8];
  char suffix[2];
};

struct LogMessageHeader {
  const LogModuleEntry *module;  // a module row or the global record
  const LogLevelEntry *level;
  uint8_t continuation;          // second and later lines of a message
  char threadName[32];
  char opId[33];
  LogTimeStamp time;
};

// Fills ts with the current wall-clock time (UTC, or relative to the last
// cached stamp when the calling thread is inside a signal handler).
void LogMakeTimeStamp(LogTimeStamp *ts);

// Builds the line prefix of a line-mode output into buf; returns its length
// (always NUL-terminated, cut when buf is too small).
struct LogPrefixSwitches {
  bool useTimeStamps;
  bool useMilliseconds;
  bool useLevelDesignator;
  bool useThreadName;
  bool useOpId;
};
size_t LogFormatPrefix(char *buf, size_t size, const LogMessageHeader &header,
                       const LogPrefixSwitches &switches);

// Fills a fresh header for a message at the given level and record: time
// stamp, current thread name, operation id.
void LogFillHeader(LogMessageHeader *header, const LogModuleEntry *record,
                   const LogLevelEntry *level);

// Keeps the longest prefix of the text in buf (size n) within n-2 bytes that
// ends on a whole UTF-8 character, then appends "\n" and NUL. Returns the
// resulting length including the newline.
size_t LogCutUtf8(char *buf, size_t n, size_t textLength);
// Length of the longest prefix of text[0..limit) that ends on a whole UTF-8
// character.
size_t LogUtf8PrefixLength(const char *text, size_t limit);

// Replaces every case-insensitive "zov" in text with "***".
void LogMaskText(char *text, size_t length);

struct LogState;

// Type tags of the output kinds the registration rules know about.
constexpr uint32_t kLogOutputTypeFile = 0x12345;
constexpr uint32_t kLogOutputType23456 = 0x23456;
constexpr uint32_t kLogOutputType34567 = 0x34567;
constexpr uint32_t kLogOutputType45678 = 0x45678;
constexpr uint32_t kLogOutputType56789 = 0x56789;
constexpr uint32_t kLogOutputVersion = 1;
constexpr int kLogMaxOutputs = 10;

struct LogOutputOps {
  void (*log)(LogOutput *output, LogMessageHeader *header, size_t length, const char *text);
  bool (*open)(LogOutput *output);
  void (*destroy)(LogOutput *output);
  void (*disableThrottling)(LogOutput *output);
};

struct LogOutput {
  uint32_t version;
  uint32_t type;
  char *name;              // owned
  LogState *state;         // set on registration
  int32_t fileLevel;
  int32_t stderrLevel;
  uint8_t wholeMessage;    // 0: one call per line
  const LogOutputOps *ops;
};

// Preference getters handed to the facility. getString returns a malloc'd
// text or null.
struct LogConfigProvider {
  char *(*getString)(const char *defaultValue, const char *key);
  int32_t (*getInt32)(int32_t defaultValue, const char *key);
  bool (*getBool)(bool defaultValue, const char *key);
};

// The program's provider: forwards to the preference store.
const LogConfigProvider *Log_ConfigProvider(void);

// Product information recorded by Log_SetProductInfo (null when not given).
void LogGetProductInfo(const char **appName, const char **version,
                       const char **buildNumber, const char **buildOption);

// Loads per-module thresholds from the provider (application prefix wins).
void LogLoadModuleFilters(const char *appPrefix, const LogConfigProvider *provider);
