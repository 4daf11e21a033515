// Typed lookups in the layered preference store. Each getter formats the key
// (printf-style) and returns the caller's default when the key is absent or
// its value does not convert; the default is then recorded so later lookups
// of the same key answer the same.
#pragma once

#include <cstdint>

#include "lib/sig/log_hook.h"

char *Config_GetString(const char *defaultValue, const char *fmt, ...) SW_PRINTF(2, 3);
char *Config_GetPathName(const char *defaultValue, const char *fmt, ...) SW_PRINTF(2, 3);
bool Config_GetBool(bool defaultValue, const char *fmt, ...) SW_PRINTF(2, 3);
int32_t Config_GetLong(int32_t defaultValue, const char *fmt, ...) SW_PRINTF(2, 3);
int Config_GetTriState(int defaultValue, const char *fmt, ...) SW_PRINTF(2, 3);
int64_t Config_GetInt64(int64_t defaultValue, const char *fmt, ...) SW_PRINTF(2, 3);
double Config_GetDouble(double defaultValue, const char *fmt, ...) SW_PRINTF(2, 3);
bool Config_NotSet(const char *fmt, ...) SW_PRINTF(1, 2);
