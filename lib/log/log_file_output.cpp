// Creation of the log file output: its options, its operations, and the
// calls the facility makes on file outputs (file name, content copy).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "lib/dict/dictionary.h"
#include "lib/log/log_file_internal.h"
#include "lib/log/log_state.h"

namespace {

void Destroy(LogOutput *output);
void DisableThrottling(LogOutput *output);

constexpr LogOutputOps kFileOps = {LogFileLogLine, LogFileOpen, Destroy, DisableThrottling};

// Option lookup: parameters, then the provider under the output's name,
// then the provider under the application prefix. A provider value equal
// to the default never overrides.
class OptionReader {
 public:
  OptionReader(const char *appPrefix, const char *outputName, Dictionary *params,
               const LogConfigProvider *provider)
      : prefix_(appPrefix), params_(params), provider_(provider), outputName_(outputName) {}

  bool Bool(const char *key, bool def) {
    bool value = params_ != nullptr ? Dictionary_GetBool(params_, def, "%s", key) : def;
    if (provider_ != nullptr && provider_->getBool != nullptr) {
      bool v = provider_->getBool(def, Name(key).c_str());
      if (v != def) {
        value = v;
      }
      if (HasPrefix()) {
        v = provider_->getBool(def, Prefixed(key).c_str());
        if (v != def) {
          value = v;
        }
      }
    }
    return value;
  }

  int32_t Int(const char *key, int32_t def) {
    int32_t value = params_ != nullptr ? Dictionary_GetLong(params_, def, "%s", key) : def;
    if (provider_ != nullptr && provider_->getInt32 != nullptr) {
      int32_t v = provider_->getInt32(def, Name(key).c_str());
      if (v != def) {
        value = v;
      }
      if (HasPrefix()) {
        v = provider_->getInt32(def, Prefixed(key).c_str());
        if (v != def) {
          value = v;
        }
      }
    }
    return value;
  }

  // Text with no default: any text found wins, the prefixed key last.
  std::string Text(const char *key, bool fromParams, bool *found) {
    std::string value;
    *found = false;
    if (fromParams && params_ != nullptr) {
      if (const char *v = Dictionary_GetString(params_, nullptr, "%s", key)) {
        value = v;
        *found = true;
      }
    }
    if (provider_ != nullptr && provider_->getString != nullptr) {
      TakeText(provider_->getString(nullptr, Name(key).c_str()), &value, found);
      if (HasPrefix()) {
        TakeText(provider_->getString(nullptr, Prefixed(key).c_str()), &value, found);
      }
    }
    return value;
  }

  int32_t Level(const char *key, int32_t def, bool fromParams) {
    bool found;
    std::string text = Text(key, fromParams, &found);
    if (!found) {
      return def;
    }
    if (strcasecmp(text.c_str(), "none") == 0) {
      return -1;
    }
    int level = LogLevelByName(text.c_str());
    return level >= 0 ? level : def;
  }

 private:
  static void TakeText(char *v, std::string *value, bool *found) {
    if (v != nullptr) {
      *value = v;
      *found = true;
      free(v);
    }
  }
  bool HasPrefix() const { return prefix_ != nullptr && prefix_[0] != '\0'; }
  std::string Name(const char *key) const {
    if (strcmp(outputName_, "file") == 0) {
      return key;
    }
    return std::string(key) + "." + outputName_;
  }
  std::string Prefixed(const char *key) const { return std::string(prefix_) + "." + Name(key); }

  const char *prefix_;
  Dictionary *params_;
  const LogConfigProvider *provider_;
  const char *outputName_;
};

// Parameter-only texts; an empty text counts as none.
char *ParamText(Dictionary *params, const char *key) {
  if (params == nullptr) {
    return nullptr;
  }
  const char *v = Dictionary_GetString(params, nullptr, "%s", key);
  return v != nullptr && v[0] != '\0' ? strdup(v) : nullptr;
}

int32_t CheckNotBelow(const char *key, int32_t value, int32_t minimum, int32_t replacement) {
  if (value < minimum) {
    Log_Warning("%s: %s (%d) is invalid. Set to %d.\n", "LogFileInt32", key, value, replacement);
    return replacement;
  }
  return value;
}

void ReadOptions(LogFileOutput *out, OptionReader &options) {
  out->switches.useTimeStamps = options.Bool("log.useTimeStamps", true);
  out->switches.useMilliseconds = options.Bool("log.useMilliseconds", true);
  out->switches.useThreadName = options.Bool("log.useThreadName", true);
  out->switches.useLevelDesignator = options.Bool("log.useLevelDesignator", true);
  out->switches.useOpId = options.Bool("log.useOpID", false);
  out->append = options.Bool("log.append", false);
  out->syncAfterWrite = options.Bool("log.syncAfterWrite", false);
  out->fastRotation = options.Bool("log.fastRotation", false);

  out->keepOld = CheckNotBelow("log.keepOld", options.Int("log.keepOld", 3), 0, 3);
  int32_t rotateSize = CheckNotBelow("log.rotateSize", options.Int("log.rotateSize", 0), 0, 0);
  if (rotateSize > 0 && rotateSize < 100000) {
    Log_Warning("%s: log.rotateSize (%d) is too small. Set to %d.\n", "LogFileVariables",
                rotateSize, 100000);
    rotateSize = 100000;
  }
  out->rotateSize = rotateSize;
  out->permissions = CheckNotBelow("log.permissions", options.Int("log.permissions", 0640), 1, 0640);
  out->throttleThreshold = static_cast<uint64_t>(CheckNotBelow(
      "log.throttleThreshold", options.Int("log.throttleThreshold", 1000000), 0, 1000000));
  int32_t perSec = CheckNotBelow("log.throttleBytesPerSec",
                                 options.Int("log.throttleBytesPerSec", 1000), -1, 1000);
  out->throttleLimit = perSec <= 0 ? kLogFileNoThrottleLimit : static_cast<uint32_t>(perSec);
  if (options.Bool("log.noLogAfterThreshold", false)) {
    out->throttleLimit = 0;
  }
  out->head.fileLevel = options.Level("log.fileLevel", kLogInfo, true);
  out->head.stderrLevel = options.Level("log.stderrLevel", -1, false);
}

int64_t LocalUtcOffset() {
  time_t now = time(nullptr);
  struct tm tm;
  if (localtime_r(&now, &tm) == nullptr) {
    return 0;
  }
  return tm.tm_gmtoff;
}

void FreeTexts(LogFileOutput *out) {
  free(out->fileName);
  free(out->suffix);
  free(out->logDir);
  free(out->head.name);
}

void Destroy(LogOutput *output) {
  LogFileOutput *out = AsFileOutput(output);
  if (out->fd >= 0) {
    close(out->fd);
  }
  free(out->throttleStorage);
  FreeTexts(out);
  free(out);
}

void DisableThrottling(LogOutput *output) {
  LogFileOutput *out = AsFileOutput(output);
  out->throttleLimit = kLogFileNoThrottleLimit;
  out->throttled = false;
}

}  // namespace

LogOutput *Log_NewFileOutput(const char *appPrefix, const char *outputName, Dictionary *params,
                             const LogConfigProvider *provider) {
  LogErrnoKeeper keepErrno;
  if ((appPrefix != nullptr && appPrefix[0] == '\0') || outputName == nullptr ||
      outputName[0] == '\0') {
    return nullptr;
  }
  auto *out = static_cast<LogFileOutput *>(calloc(1, sizeof(LogFileOutput)));
  if (out == nullptr) {
    return nullptr;
  }
  out->fd = -1;
  out->head.version = kLogOutputVersion;
  out->head.type = kLogOutputTypeFile;
  out->head.wholeMessage = 0;
  out->head.ops = &kFileOps;
  out->head.name = strdup(outputName);
  if (out->head.name == nullptr) {
    free(out);
    return nullptr;
  }

  char *configKey = ParamText(params, "log.config");
  char *fileName = ParamText(params, "log.fileName");
  out->suffix = ParamText(params, "log.suffix");
  out->systemArea = params != nullptr && Dictionary_GetBool(params, false, "%s", "log.systemAreaTemp");
  OptionReader options(appPrefix, outputName, params, provider);
  ReadOptions(out, options);
  out->hostUtcOffset = LocalUtcOffset();

  bool settled = LogFileSettleName(out, configKey, fileName, provider);
  free(configKey);
  free(fileName);
  if (!settled) {
    FreeTexts(out);
    free(out);
    return nullptr;
  }
  return &out->head;
}

const char *LogFileOutputFileName(const LogOutput *output) {
  if (output == nullptr || output->type != kLogOutputTypeFile) {
    return nullptr;
  }
  return reinterpret_cast<const LogFileOutput *>(output)->fileName;
}

void LogFileOutputCopyContent(LogOutput *oldOutput, LogOutput *newOutput) {
  LogFileOutput *oldOut = AsFileOutput(oldOutput);
  LogFileOutput *newOut = AsFileOutput(newOutput);
  int in = open(oldOut->fileName, O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    Log_Warning("Open failed on '%s': %s\n", oldOut->fileName, strerror(errno));
    return;
  }
  // Both outputs on one file: copying would read what it writes and the
  // delete below would remove the new output's file.
  struct stat a, b;
  if (newOut->fd >= 0 && fstat(in, &a) == 0 && fstat(newOut->fd, &b) == 0 &&
      a.st_dev == b.st_dev && a.st_ino == b.st_ino) {
    close(in);
    return;
  }
  if (newOut->fd >= 0) {
    if (newOut->append) {
      lseek(newOut->fd, 0, SEEK_END);
    } else {
      lseek(newOut->fd, 0, SEEK_SET);
      newOut->bytesWritten = 0;
    }
  }
  char chunk[16384];
  for (;;) {
    ssize_t n = read(in, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      Log_Warning("Read failed on '%s': %s\n", oldOut->fileName, strerror(errno));
      break;
    }
    if (n == 0) {
      break;
    }
    ssize_t w = newOut->fd >= 0 ? write(newOut->fd, chunk, static_cast<size_t>(n)) : -1;
    if (w != n) {
      if (w < 0 && newOut->fd < 0) {
        errno = EBADF;
      } else if (w >= 0) {
        errno = ENOSPC;
      }
      Log_Warning("Write failed on '%s': %s\n", newOut->fileName, strerror(errno));
      if (w > 0) {
        newOut->bytesWritten += static_cast<uint64_t>(w);
      }
      break;
    }
    newOut->bytesWritten += static_cast<uint64_t>(n);
  }
  // Copied over the start of the new file: drop what lies beyond the copy.
  if (!newOut->append && newOut->fd >= 0) {
    if (ftruncate(newOut->fd, static_cast<off_t>(newOut->bytesWritten)) != 0) {
      Log_Warning("Truncation of '%s' failed: %s\n", newOut->fileName, strerror(errno));
    }
  }
  close(in);
  unlink(oldOut->fileName);
}
