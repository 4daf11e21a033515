// Per-module thresholds read from the configuration provider after the log
// file output is registered.
#include <cstdio>
#include <cstdlib>

#include "lib/log/log_state.h"

namespace {

// Reads "<option>.<module>", the application-prefixed key winning. Returns
// true with the threshold when either key is set.
bool ReadModuleLevel(const char *appPrefix, const LogConfigProvider *provider,
                     const char *option, const char *module, int32_t *level) {
  char key[256];
  snprintf(key, sizeof key, "%s.%s", option, module);
  char *value = provider->getString(nullptr, key);
  if (appPrefix != nullptr && appPrefix[0] != '\0') {
    char prefixed[320];
    snprintf(prefixed, sizeof prefixed, "%s.%s", appPrefix, key);
    if (char *v = provider->getString(nullptr, prefixed)) {
      free(value);
      value = v;
    }
  }
  if (value == nullptr) {
    return false;
  }
  *level = LogLevelByName(value);
  free(value);
  return true;
}

}  // namespace

void LogLoadModuleFilters(const char *appPrefix, const LogConfigProvider *provider) {
  if (provider == nullptr || provider->getString == nullptr) {
    return;
  }
  for (int number = 1; number <= kLogModuleCount; number++) {
    LogModuleEntry *row = LogModuleRow(number);
    int32_t level;
    if (ReadModuleLevel(appPrefix, provider, "log.filter.minLogLevel", row->name, &level)) {
      LogLockHolder holder;
      LogStoreLevel(row->logLevel, level);
    }
    if (ReadModuleLevel(appPrefix, provider, "log.filter.minStderrLevel", row->name, &level)) {
      LogLockHolder holder;
      LogStoreLevel(row->stderrLevel, level);
    }
  }
}
