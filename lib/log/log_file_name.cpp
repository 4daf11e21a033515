// Where the log file lives: a configured name, or a generated per-process
// name in the user's private temporary directory (or the system log area).
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>

#include "lib/file/file.h"
#include "lib/log/log_file_internal.h"
#include "lib/misc/util.h"

namespace {

constexpr const char kDefaultSystemLogDir[] = "/var/log/velmora";
// Tests replace the system area before any output is created.
char systemLogDir[4096] = "/var/log/velmora";

// Creates dir and its missing parents (mode 0777 less the umask).
bool MakeDirectories(const std::string &dir) {
  std::string partial;
  size_t pos = 0;
  while (pos <= dir.size()) {
    size_t slash = dir.find('/', pos);
    if (slash == std::string::npos) {
      slash = dir.size();
    }
    partial = dir.substr(0, slash);
    pos = slash + 1;
    if (partial.empty()) {
      continue;
    }
    if (mkdir(partial.c_str(), 0777) != 0 && errno != EEXIST) {
      return false;
    }
  }
  struct stat st;
  return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Expands the last component of name; the directory part stays as it is.
char *ExpandLastComponent(const std::string &dir, const char *last) {
  char *expanded = Util_ExpandString(last);
  if (expanded == nullptr) {
    return nullptr;
  }
  if (dir.empty()) {
    return expanded;
  }
  std::string joined = dir + (dir.back() == '/' ? "" : "/") + expanded;
  free(expanded);
  return strdup(joined.c_str());
}

}  // namespace

void LogFileSetSystemLogDir(const char *dir) {
  snprintf(systemLogDir, sizeof systemLogDir, "%s", dir != nullptr ? dir : kDefaultSystemLogDir);
}

bool LogFileSettleName(LogFileOutput *out, const char *configKey, const char *paramFileName,
                       const LogConfigProvider *provider) {
  char *name = nullptr;
  if (configKey != nullptr && provider != nullptr && provider->getString != nullptr) {
    name = provider->getString(nullptr, configKey);
    if (name != nullptr && name[0] == '\0') {
      free(name);
      name = nullptr;
    }
  }
  if (name == nullptr && paramFileName != nullptr && paramFileName[0] != '\0') {
    name = strdup(paramFileName);
  }

  char *dir = out->systemArea ? strdup(systemLogDir)
                              : File_GetSafeTmpDir(true);
  if (dir == nullptr) {
    Log_Warning("Failed to establish the safe logging directory area: %s\n", strerror(errno));
    free(name);
    return false;
  }
  if (!MakeDirectories(dir)) {
    Log_Warning("Safe logging area '%s' validation failed!\n", dir);
    free(dir);
    free(name);
    return false;
  }
  out->logDir = dir;

  if (name != nullptr) {
    std::string text(name);
    free(name);
    size_t slash = text.rfind('/');
    std::string dirPart =
        slash == std::string::npos ? std::string() : text.substr(0, slash == 0 ? 1 : slash);
    std::string last = slash == std::string::npos ? text : text.substr(slash + 1);
    out->fileName = ExpandLastComponent(dirPart, last.c_str());
    out->nameGenerated = false;
    return out->fileName != nullptr;
  }

  bool hasSuffix = out->suffix != nullptr && out->suffix[0] != '\0';
  std::string generated = std::string("paloven") + (hasSuffix ? "-" : "") +
                          (hasSuffix ? out->suffix : "") + "-$PID.log";
  out->fileName = ExpandLastComponent(dir, generated.c_str());
  out->nameGenerated = true;
  return out->fileName != nullptr;
}
