// Log_InitWithFile: the start-up's one call that creates, registers and
// configures the log file output.
#include "lib/log/log_file_output.h"
#include "lib/log/log_state.h"

LogOutput *Log_InitWithFile(const char *appPrefix, Dictionary *params,
                            const LogConfigProvider *provider, bool purge) {
  LogErrnoKeeper keepErrno;
  LogOutput *output = Log_NewFileOutput(appPrefix, "file", params, provider);
  if (output == nullptr) {
    return nullptr;
  }
  if (purge) {
    Log_PurgeOldFiles(output, nullptr, nullptr);
  }
  if (!Log_AddOutput(output)) {
    Log_FreeOutput(output);
    return nullptr;
  }
  if (provider != nullptr) {
    LogLoadModuleFilters(appPrefix, provider);
  }
  return output;
}
