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

bool Config_GetBool(bool defaultValue, const char *fmt, ...) {
  char key[kKeyMax];
  va_list args;
  va_start(args, fmt);
  FormatKey(key, fmt, args);
  va_end(args);
  DictValue def;
  def.b = defaultValue;
  return PreferenceGet(DICT_BOOL, def, key, nullptr).b;
}

int32_t Config_GetLong(int32_t defaultValue, const char *fmt, ...) {
  char key[kKeyMax];
  va_list args;
  va_start(args, fmt);
  FormatKey(key, fmt, args);
  va_end(args);
  DictValue def;
  def.l = defaultValue;
  return PreferenceGet(DICT_LONG, def, key, nullptr).l;
}

int Config_GetTriState(int defaultValue, const char *fmt, ...) {
  char key[kKeyMax];
  va_list args;
  va_start(args, fmt);
  FormatKey(key, fmt, args);
  va_end(args);
  DictValue def;
  def.l = defaultValue;
  return PreferenceGet(DICT_TRISTATE, def, key, nullptr).l;
}

int64_t Config_GetInt64(int64_t defaultValue, const char *fmt, ...) {
  char key[kKeyMax];
  va_list args;
  va_start(args, fmt);
  FormatKey(key, fmt, args);
  va_end(args);
  DictValue def;
  def.i64 = defaultValue;
  return PreferenceGet(DICT_INT64, def, key, nullptr).i64;
}

double Config_GetDouble(double defaultValue, const char *fmt, ...) {
  char key[kKeyMax];
  va_list args;
  va_start(args, fmt);
  FormatKey(key, fmt, args);
  va_end(args);
  DictValue def;
  def.d = defaultValue;
  return PreferenceGet(DICT_DOUBLE, def, key, nullptr).d;
}

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
