// The program's configuration provider: log options come from the
// preference store, keys used verbatim.
#include "lib/config/config.h"
#include "lib/log/log_output.h"

namespace {

char *GetString(const char *defaultValue, const char *key) {
  return Config_GetString(defaultValue, "%s", key);
}

int32_t GetInt32(int32_t defaultValue, const char *key) {
  return Config_GetLong(defaultValue, "%s", key);
}

bool GetBool(bool defaultValue, const char *key) {
  return Config_GetBool(defaultValue, "%s", key);
}

constexpr LogConfigProvider kProvider = {GetString, GetInt32, GetBool};

}  // namespace

const LogConfigProvider *Log_ConfigProvider(void) { return &kProvider; }
