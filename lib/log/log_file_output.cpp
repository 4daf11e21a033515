// First cut: the file output is not there yet; the facility links and logs
// to standard error and the early ring.
#include "lib/log/log_file_output.h"

LogOutput *Log_NewFileOutput(const char *, const char *, Dictionary *,
                             const LogConfigProvider *) {
  return nullptr;
}
bool Log_PurgeOldFiles(LogOutput *, LogFileMatcher, void *) { return false; }
const char *LogFileOutputFileName(const LogOutput *) { return nullptr; }
void LogFileOutputCopyContent(LogOutput *, LogOutput *) {}
void File_Rotate(const char *, int, bool) {}
