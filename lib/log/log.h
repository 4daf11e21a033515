// The process-wide log facility: leveled messages, per-module thresholds,
// standard-error echo, an early ring for messages logged before any output
// exists, and pluggable outputs (the rotating log file is one of them).
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

// The levels, the level argument and SW_PRINTF, shared with the modules
// below the facility that log through its hook.
#include "lib/sig/log_hook.h"

constexpr int kLogModuleCount = 314;

// Message calls. All of them leave the caller's errno unchanged.
void Log_LevelV(uint32_t level, const char *fmt, va_list args) SW_PRINTF(2, 0);
void Log_Level(uint32_t level, const char *fmt, ...) SW_PRINTF(2, 3);
void Log_Info(const char *fmt, ...) SW_PRINTF(1, 2);
void Log_Warning(const char *fmt, ...) SW_PRINTF(1, 2);
void Log_InfoRateLimited(uint32_t *counter, const char *fmt, ...) SW_PRINTF(2, 3);
void Log_WarningRateLimited(uint32_t *counter, const char *fmt, ...) SW_PRINTF(2, 3);

// Component short-hands: error (2), warning (3), info (5).
#define Log_Error(...) Log_Level(kLogError, __VA_ARGS__)

// Thresholds. Module 0 is the global record; modules outside 1..314 give -1.
int Log_SetLogLevel(int module, int level);
int Log_SetStderrLevel(int module, int level);
int Log_GetLogLevel(int module);
int Log_GetStderrLevel(int module);
bool Log_IsLevelOn(uint32_t level);
int Log_ModuleNumber(const char *name);
const char *Log_ModuleName(int number);

// Outputs. A LogOutput is a record whose head carries a type tag, a name and
// a table of operations (see log_output.h); the log file output is created
// by Log_NewFileOutput (log_file_output.h).
struct LogOutput;
struct Dictionary;
struct LogConfigProvider;

LogOutput *Log_InitWithFile(const char *appPrefix, Dictionary *params,
                            const LogConfigProvider *provider, bool purge);
bool Log_AddOutput(LogOutput *output);
bool Log_ReplaceOutput(LogOutput *oldOutput, LogOutput *newOutput, bool copyOver);
bool Log_FreeOutput(LogOutput *output);
int Log_SetOutputLevel(LogOutput *output, int level);
const char *Log_GetFileName(void);
void Log_DisableThrottling(void);
void Log_Reset(void);
bool Log_HasOutputs(void);
void Log_BypassLocking(bool bypass);
// Fills buf (bufSize bytes) with the current operation id; false when none.
typedef bool (*LogOpIdFunction)(size_t bufSize, char *buf);
void Log_RegisterOpIdFunction(LogOpIdFunction fn);
void Log_SetProductInfo(const char *appName, const char *version,
                        const char *buildNumber, const char *buildOption);
const char *Log_HostDescription(void);
