// The core of the log facility: the lock, the message path of Log_LevelV
// and the delivery of messages to the registered outputs.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

#include "lib/log/log_state.h"
#include "lib/thread/vthread.h"

uint8_t gLogRingStorage[kLogRingSize];
char gLogSharedStorage[kLogSharedBufferSize];

namespace {

// Ring entries are popped here before delivery (under the lock).
char popBuffer[kLogRingPopBufferSize];

constinit LogState theState;

bool StderrAvailable() { return fcntl(STDERR_FILENO, F_GETFL) != -1; }

void WriteAll(int fd, const char *text, size_t length) {
  while (length > 0) {
    ssize_t n = write(fd, text, length);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return;
    }
    text += n;
    length -= static_cast<size_t>(n);
  }
}

bool FitsWithNewline(const char *buf, int n, size_t cap) {
  if (n < 0 || static_cast<size_t>(n) >= cap) {
    return false;
  }
  return static_cast<size_t>(n) + 1 < cap || (n > 0 && buf[n - 1] == '\n');
}

// Formats the message: the local buffer first, the shared one when the text
// is longer, a whole-character cut when neither holds it. Returns the
// buffer used; *shared is the shared buffer when it was taken.
char *FormatMessage(char *local, const char *fmt, va_list args, char **shared,
                    size_t *length) {
  LogState &s = LogTheState();
  va_list ap;
  va_copy(ap, args);
  int n = vsnprintf(local, kLogLocalBufferSize, fmt, ap);
  va_end(ap);
  if (FitsWithNewline(local, n, kLogLocalBufferSize)) {
    *length = static_cast<size_t>(n);
    return local;
  }
  char *buf = local;
  size_t cap = kLogLocalBufferSize;
  *shared = s.sharedBuffer.exchange(nullptr, std::memory_order_acq_rel);
  if (*shared != nullptr) {
    buf = *shared;
    cap = kLogSharedBufferSize;
    va_copy(ap, args);
    n = vsnprintf(buf, cap, fmt, ap);
    va_end(ap);
    if (FitsWithNewline(buf, n, cap)) {
      *length = static_cast<size_t>(n);
      return buf;
    }
  }
  memset(buf, 0, cap);
  va_copy(ap, args);
  n = vsnprintf(buf, cap, fmt, ap);
  va_end(ap);
  if (n < 0) {
    buf[0] = '\0';
  }
  *length = LogCutUtf8(buf, cap, strlen(buf));
  return buf;
}

bool OutputPasses(const LogOutput *output, const LogMessageHeader &header) {
  int32_t level = output->fileLevel;
  return level >= 0 && (level >= header.level->value || header.module != &LogTheState().global);
}

}  // namespace

LogState &LogTheState() { return theState; }

LogErrnoKeeper::LogErrnoKeeper() : saved_(errno) {}
LogErrnoKeeper::~LogErrnoKeeper() { errno = saved_; }

bool LogLock() {
  LogState &s = LogTheState();
  if (s.bypass.load(std::memory_order_acquire)) {
    s.depth.store(0, std::memory_order_relaxed);
    return false;
  }
  MXUserRecLock *lock = s.lock.load(std::memory_order_acquire);
  if (lock == nullptr) {
    s.lockCreating.fetch_add(1, std::memory_order_acq_rel);
    MXUserRecLock *mine = MXUser_CreateRecLock("logLock", kLogLockRank);
    MXUserRecLock *expected = nullptr;
    if (s.lock.compare_exchange_strong(expected, mine, std::memory_order_acq_rel)) {
      lock = mine;
    } else {
      MXUser_DestroyRecLock(mine);
      lock = expected;
    }
    s.lockCreating.fetch_sub(1, std::memory_order_acq_rel);
    tzset();
  }
  MXUser_AcquireRecLock(lock);
  s.depth.fetch_add(1, std::memory_order_relaxed);
  return true;
}

void LogUnlock(bool locked) {
  LogState &s = LogTheState();
  if (!locked) {
    s.depth.store(0, std::memory_order_relaxed);
    return;
  }
  s.depth.fetch_sub(1, std::memory_order_relaxed);
  MXUser_ReleaseRecLock(s.lock.load(std::memory_order_acquire));
}

void LogFillHeader(LogMessageHeader *header, const LogModuleEntry *record,
                   const LogLevelEntry *level) {
  memset(header, 0, sizeof *header);
  header->module = record;
  header->level = level;
  LogMakeTimeStamp(&header->time);
  const char *name = VThread_CurName();
  if (name == nullptr || name[0] == '\0') {
    name = "*UNKNOWN*";
  }
  snprintf(header->threadName, sizeof header->threadName, "%s", name);
  LogOpIdFunction opId = LogTheState().opIdFunction.load(std::memory_order_acquire);
  if (opId != nullptr) {
    if (!opId(sizeof header->opId, header->opId)) {
      header->opId[0] = '\0';
    }
    header->opId[sizeof header->opId - 1] = '\0';
  }
}

void LogDeliver(LogMessageHeader *header, const char *text, size_t length) {
  LogState &s = LogTheState();
  bool anyLineMode = false;
  for (int i = 0; i < s.outputCount; i++) {
    LogOutput *output = s.outputs[i];
    if (!output->wholeMessage) {
      anyLineMode = true;
    } else if (OutputPasses(output, *header)) {
      output->ops->log(output, header, length, text);
    }
  }
  if (!anyLineMode || length == 0) {
    return;
  }
  size_t start = 0;
  while (start < length) {
    const void *nl = memchr(text + start, '\n', length - start);
    size_t end = nl != nullptr ? static_cast<size_t>(static_cast<const char *>(nl) - text) + 1
                               : length;
    for (int i = 0; i < s.outputCount; i++) {
      LogOutput *output = s.outputs[i];
      if (!output->wholeMessage && OutputPasses(output, *header)) {
        output->ops->log(output, header, end - start, text + start);
      }
    }
    header->continuation = 1;
    start = end;
  }
}

void LogFlushRing() {
  LogState &s = LogTheState();
  LogMessageHeader header;
  size_t length;
  // Only what was queued on entry: delivering an entry can queue new ones
  // (an output that logs while writing), and chasing those could never end.
  for (size_t n = LogRingEntries(&s.ring); n > 0; n--) {
    if (!LogRingPop(&s.ring, &header, popBuffer, sizeof popBuffer, &length)) {
      break;
    }
    LogDeliver(&header, popBuffer, length);
  }
}

void Log_LevelV(uint32_t levelArg, const char *fmt, va_list args) {
  LogErrnoKeeper keepErrno;
  LogState &s = LogTheState();
  if (s.lockCreating.load(std::memory_order_acquire) != 0) {
    return;
  }
  uint32_t level = levelArg & kLogLevelMask;
  int module = static_cast<int>(levelArg >> kLogModuleShift);
  const LogLevelEntry *row = LogLevelRow(level);
  const LogModuleEntry *record = &s.global;
  bool toStderr = false;
  bool toOutputs = true;
  if (level != kLogAudit) {
    if (LogModuleEntry *m = LogModuleRow(module)) {
      record = m;
    }
    int64_t fileLevel = LogLoadLevel(record->logLevel);
    int64_t stderrLevel = LogLoadLevel(record->stderrLevel);
    if (level > fileLevel && level > stderrLevel) {
      return;
    }
    toStderr = stderrLevel >= level;
    toOutputs = fileLevel >= level;
  }

  char local[kLogLocalBufferSize];
  char *shared = nullptr;
  size_t length = 0;
  char *buf = FormatMessage(local, fmt, args, &shared, &length);
  if (length == 0 || buf[length - 1] != '\n') {
    buf[length++] = '\n';
    buf[length] = '\0';
  }
  LogMaskText(buf, length);

  {
    LogLockHolder holder;
    if (toStderr && StderrAvailable()) {
      WriteAll(STDERR_FILENO, buf, length);
    }
    if (toOutputs) {
      LogMessageHeader header;
      LogFillHeader(&header, record, row);
      if (s.depth.load(std::memory_order_relaxed) >= 2) {
        LogRingAppend(&s.ring, header, buf, length);
      } else if (s.outputCount > 0) {
        LogFlushRing();
        LogDeliver(&header, buf, length);
      } else {
        LogRingAppend(&s.ring, header, buf, length);
      }
    }
  }
  if (shared != nullptr) {
    s.sharedBuffer.store(shared, std::memory_order_release);
  }
}

namespace {

const LogHook facilityHook = {Log_LevelV, Log_DisableThrottling};

// The modules below the facility log through the hook. Installed before any
// other static initialiser can log (priority 101 is the first one open to
// programs), so that none of their messages misses the early ring, wherever
// the program's start-up logs first.
[[gnu::constructor(101)]] void InstallFacilityHook() { LogHook_Install(&facilityHook); }

}  // namespace

void Log_Level(uint32_t level, const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  Log_LevelV(level, fmt, args);
  va_end(args);
}

void Log_Info(const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  Log_LevelV(kLogInfo, fmt, args);
  va_end(args);
}

void Log_Warning(const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  Log_LevelV(kLogWarning, fmt, args);
  va_end(args);
}
