// Log lines of the dictionary and the preference store go through DictLog,
// which forwards them to the log facility through its hook (the facility
// sits above the dictionary: it reads its options from one). A sink may
// replace the facility so the exact texts can be observed (the store is
// built before any log output exists, and its lines matter to operators).
#pragma once

#include <cstdint>

#include "lib/sig/log_hook.h"

typedef void (*DictLogSink)(uint32_t level, const char *text);

// Null restores the log facility.
void DictLog_SetSink(DictLogSink sink);
void DictLog(uint32_t level, const char *fmt, ...) SW_PRINTF(2, 3);
