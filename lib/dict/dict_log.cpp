// DictLog and the dump of a dictionary (Dictionary_Log).
#include "lib/dict/dict_log.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>

#include "lib/dict/dict_internal.h"

namespace {
std::atomic<DictLogSink> gSink{nullptr};
}

void DictLog_SetSink(DictLogSink sink) { gSink.store(sink, std::memory_order_release); }

void DictLog(uint32_t level, const char *fmt, ...) {
  int savedErrno = errno;
  va_list args;
  va_start(args, fmt);
  DictLogSink sink = gSink.load(std::memory_order_acquire);
  if (sink == nullptr) {
    LogHook_LevelV(level, fmt, args);
  } else {
    char line[4096];
    vsnprintf(line, sizeof line, fmt, args);
    sink(level, line);
  }
  va_end(args);
  errno = savedErrno;
}

void Dictionary_Log(Dictionary *dict) noexcept {
  if (dict == nullptr) {
    return;
  }
  for (const DictEntry &e : dict->entries) {
    if (e.isDefault) {
      continue;
    }
    const char *name = e.name.Get();
    switch (e.type) {
    case DICT_ANY:
    case DICT_STRING:
      DictLog(kLogInfo, "DICT %25s = \"%s\"\n", name, e.text.IsNone() ? "" : e.text.Get());
      break;
    case DICT_BOOL:
      DictLog(kLogInfo, "DICT %25s = \"%s\"\n", name, e.b ? "TRUE" : "FALSE");
      break;
    case DICT_LONG:
    case DICT_TRISTATE:
      DictLog(kLogInfo, "DICT %25s = \"%i\"\n", name, e.l);
      break;
    case DICT_DOUBLE:
      DictLog(kLogInfo, "DICT %25s = \"%g\"\n", name, e.d);
      break;
    case DICT_INT64:
      DictLog(kLogInfo, "DICT %25s = \"%ld\"\n", name, static_cast<long>(e.i64));
      break;
    default:
      DictLog(kLogInfo, "DICT %25s = <unknown parameter type>\n", name);
      break;
    }
  }
}
