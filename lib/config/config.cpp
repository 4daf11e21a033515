// Typed lookups in the preference store (PreferenceGet and the Config_*
// getters).
#include "lib/config/config.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib/config/preference_store.h"
#include "lib/dict/dict_log.h"
#include "lib/lock/userlock.h"
#include "lib/misc/util.h"

namespace {

constexpr size_t kKeyMax = 1024;

// The first layer defining the key answers; otherwise the USER PREFERENCES
// layer answers with the default (recording it when it is not a zero
// default, so later lookups of the key agree). With stringCopy, a text
// result is copied before the lock is released.
DictValue PreferenceGet(DictType type, const DictValue &def, const char *key, char **stringCopy) {
  PreferenceStore *store = PreferenceGetStore();
  if (store == nullptr) {
    DictLog(kLogInfo, "PREF early PreferenceGet(%s), using default\n", key);
    if (stringCopy != nullptr) {
      *stringCopy = def.str != nullptr ? strdup(def.str) : nullptr;
    }
    return def;
  }
  MXUserRecGuard guard(store->lock);
  Dictionary *answering = store->dicts[kPrefUserPreferences];
  for (Dictionary *dict : store->dicts) {
    if (Dictionary_IsDefined(dict, "%s", key)) {
      answering = dict;
      break;
    }
  }
  DictValue out;
  Dictionary_Get(answering, type, def, &out, key);
  if (stringCopy != nullptr) {
    *stringCopy = out.str != nullptr ? strdup(out.str) : nullptr;
  }
  return out;
}

const char *FormatKey(char *buf, const char *fmt, va_list args) SW_PRINTF(2, 0);
const char *FormatKey(char *buf, const char *fmt, va_list args) {
  if (fmt == nullptr) {
    buf[0] = '\0';
    return buf;
  }
  vsnprintf(buf, kKeyMax, fmt, args);
  return buf;
}

}  // namespace

char *Config_GetString(const char *defaultValue, const char *fmt, ...) {
  char key[kKeyMax];
  va_list args;
  va_start(args, fmt);
  FormatKey(key, fmt, args);
  va_end(args);
  DictValue def;
  def.str = defaultValue;
  char *copy = nullptr;
  PreferenceGet(DICT_STRING, def, key, &copy);
  return copy;
}

char *Config_GetPathName(const char *defaultValue, const char *fmt, ...) {
  char key[kKeyMax];
  va_list args;
  va_start(args, fmt);
  FormatKey(key, fmt, args);
  va_end(args);
  DictValue def;
  def.str = defaultValue;
  char *copy = nullptr;
  PreferenceGet(DICT_STRING, def, key, &copy);
  if (copy == nullptr) {
    return nullptr;
  }
  char *expanded = Util_ExpandString(copy);
  free(copy);
  return expanded;
}

// The typed getters other than text: the key is formatted, the default
// given as the member of a DictValue, and the same member of the answer
// returned.
#define CONFIG_GETTER(fnName, valueType, dictType, member)      \
  valueType fnName(valueType defaultValue, const char *fmt, ...) { \
    char key[kKeyMax];                                          \
    va_list args;                                               \
    va_start(args, fmt);                                        \
    FormatKey(key, fmt, args);                                  \
    va_end(args);                                               \
    DictValue def;                                              \
    def.member = defaultValue;                                  \
    return PreferenceGet(dictType, def, key, nullptr).member;   \
  }

CONFIG_GETTER(Config_GetBool, bool, DICT_BOOL, b)
CONFIG_GETTER(Config_GetLong, int32_t, DICT_LONG, l)
CONFIG_GETTER(Config_GetTriState, int, DICT_TRISTATE, l)
CONFIG_GETTER(Config_GetInt64, int64_t, DICT_INT64, i64)
CONFIG_GETTER(Config_GetDouble, double, DICT_DOUBLE, d)

#undef CONFIG_GETTER

bool Config_NotSet(const char *fmt, ...) {
  char key[kKeyMax];
  va_list args;
  va_start(args, fmt);
  FormatKey(key, fmt, args);
  va_end(args);
  PreferenceStore *store = PreferenceGetStore();
  if (store == nullptr) {
    return true;
  }
  MXUserRecGuard guard(store->lock);
  for (Dictionary *dict : store->dicts) {
    if (!Dictionary_NotSet(dict, "%s", key)) {
      return false;
    }
  }
  return true;
}
