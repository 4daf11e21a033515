// Writing lines to the log file: size rotation, throttling with its marker
// and ring, the report of discarded bytes, and the identification block.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "lib/log/log_file_internal.h"
#include "lib/log/log_state.h"
#include "lib/misc/codeset.h"
#include "lib/sig/panic.h"
#include "lib/unicode/unicode.h"

namespace {

constexpr uint64_t kCheckIntervalUs = 5 * 1000000ull;
constexpr uint64_t kThrottledCheckIntervalUs = 60 * 1000000ull;

// One write(2), retried on EINTR. Returns the bytes written or -1.
ssize_t WriteOnce(int fd, const char *data, size_t length) {
  for (;;) {
    ssize_t n = write(fd, data, length);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    return n;
  }
}

// Writes bytes to the file and keeps its byte count; a write cut short by
// a full disk leaves the file inside a line, which midLine remembers.
ssize_t WriteCounted(LogFileOutput *out, const char *data, size_t length) {
  ssize_t w = WriteOnce(out->fd, data, length);
  if (w > 0) {
    out->bytesWritten += static_cast<uint64_t>(w);
    out->midLine = data[w - 1] != '\n';
  }
  return w;
}

// Writes prefix + line; true only when every byte was written.
bool WriteLine(LogFileOutput *out, const LogMessageHeader &header, const char *line,
               size_t length) {
  char *buf = out->lineBuffer;
  size_t prefixLength = LogFormatPrefix(buf, kLogFilePrefixMax, header, out->switches);
  if (out->fd >= 0 && out->bytesDiscarded > 0) {
    LogMessageHeader audit = header;
    audit.level = &kLogLevelTable[kLogAudit];
    char report[1 + kLogFilePrefixMax + 96];
    // The report starts a line of its own, even after a line that the
    // full disk cut off.
    size_t n = out->midLine ? 1 : 0;
    report[0] = '\n';
    n += LogFormatPrefix(report + n, kLogFilePrefixMax, audit, out->switches);
    int m = snprintf(report + n, sizeof report - n,
                     ">>> Error writing log, %lu bytes discarded. Disk full?\n",
                     static_cast<unsigned long>(out->bytesDiscarded));
    size_t total = n + static_cast<size_t>(m);
    if (WriteCounted(out, report, total) == static_cast<ssize_t>(total)) {
      out->bytesDiscarded = 0;
    }
  }
  length = std::min(length, kLogFileLineBufferSize - prefixLength);
  memcpy(buf + prefixLength, line, length);
  size_t total = prefixLength + length;
  ssize_t w = out->fd >= 0 ? WriteCounted(out, buf, total) : -1;
  if (w < 0) {
    out->bytesDiscarded += total;
    return false;
  }
  if (static_cast<size_t>(w) < total) {
    out->bytesDiscarded += total - static_cast<size_t>(w);
    return false;
  }
  if (out->syncAfterWrite) {
    fsync(out->fd);
  }
  return true;
}

bool WriteText(LogFileOutput *out, const LogMessageHeader &header, const char *fmt, ...)
    SW_PRINTF(3, 4);
bool WriteText(LogFileOutput *out, const LogMessageHeader &header, const char *fmt, ...) {
  char text[1024];
  va_list args;
  va_start(args, fmt);
  int n = vsnprintf(text, sizeof text, fmt, args);
  va_end(args);
  if (n < 0) {
    return false;
  }
  return WriteLine(out, header, text, std::min(static_cast<size_t>(n), sizeof text - 1));
}

const char *ArchName() {
  constexpr int bits = static_cast<int>(sizeof(void *) * 8);
  if constexpr (bits == 64) {
    return "x86_64";
  } else if constexpr (bits == 32) {
    return "x86";
  } else {
    Panic("%s: unknown bitness (%d)\n", "LogArchString", bits);
  }
}

// The throttle decision for one line of the given length (no prefix).
bool ThrottleCheck(LogFileOutput *out, size_t length) {
  if (out->throttleLimit == kLogFileNoThrottleLimit) {
    return false;
  }
  out->throttleTotal += length;
  if (out->throttleTotal < out->throttleThreshold) {
    return false;
  }
  if (out->throttleLimit == 0) {
    return true;
  }
  uint64_t interval = out->throttled ? kThrottledCheckIntervalUs : kCheckIntervalUs;
  uint64_t now = LogFileNowUs();
  uint64_t elapsed = now - out->throttleLastCheckUs;
  if (elapsed > interval) {
    uint64_t rate = (out->throttleTotal - out->throttleLastTotal) * 1000000u / elapsed;
    out->throttleLastCheckUs = now;
    out->throttleLastTotal = out->throttleTotal;
    return rate > out->throttleLimit;
  }
  return out->throttled;
}

constexpr uint64_t kRotateRetryUs = 1000000;

// A folder the current effective uid cannot write: after the switch to the
// session user the root-only default folder is one, and every rename in it
// would fail.
bool FolderWritable(const LogFileOutput *out, int *err) {
  std::string dir(out->fileName);
  size_t slash = dir.rfind('/');
  dir = slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
  if (faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
    *err = errno;
    return false;
  }
  return true;
}

void RotationFailed(LogFileOutput *out, bool report) {
  if (report) {
    Log_Warning("%s: rotation of '%s' failed; writing on in the current file, retrying at "
                "most once a second.\n", "LogRotation", out->fileName);
  }
  out->rotationFailing = true;
  out->rotateRetryUs = LogFileNowUs() + kRotateRetryUs;
}

void RotateBySize(LogFileOutput *out, const LogMessageHeader &lineHeader) {
  if (out->rotationFailing && LogFileNowUs() < out->rotateRetryUs) {
    return;
  }
  bool report = !out->rotationFailing;
  if (!out->reopenPending && out->keepOld > 0) {
    int err = 0;
    if (!FolderWritable(out, &err)) {
      if (report) {
        Log_Warning("%s: cannot rotate '%s' as uid %u: %s\n", "LogRotation", out->fileName,
                    static_cast<unsigned>(geteuid()), strerror(err));
      }
      RotationFailed(out, report);
      return;
    }
    // Never reopen the name while the file just written is still there:
    // the new file would truncate it.
    if (!LogFileRotate(out, report)) {
      RotationFailed(out, report);
      return;
    }
    out->reopenPending = true;
  }
  int oldFd = out->fd;
  int fd = LogFileSafeOpen(out, report);
  if (fd < 0) {
    RotationFailed(out, report);  // keep writing to the old file
    return;
  }
  // The new file starts empty even when it is the file just written
  // (keep-old 0): old bytes must not trail the new lines.
  if (ftruncate(fd, 0) != 0) {
    Log_Warning("Truncation of '%s' failed: %s\n", out->fileName, strerror(errno));
  }
  // Lines lost before the switch are still reported, in the new file after
  // its identification block; a block that fails is not counted as lost.
  const uint64_t oldBytesWritten = out->bytesWritten;
  const uint64_t pendingDiscards = out->bytesDiscarded;
  const bool oldMidLine = out->midLine;
  out->bytesWritten = 0;
  out->bytesDiscarded = 0;
  out->midLine = false;
  out->fd = fd;
  LogMessageHeader header = lineHeader;
  header.level = &kLogLevelTable[kLogInfo];
  header.continuation = 0;
  bool labelled = LogFileWriteIdentification(out, header);
  out->bytesDiscarded = pendingDiscards;
  if (!labelled) {
    close(fd);
    out->fd = oldFd;
    out->bytesWritten = oldBytesWritten;
    out->midLine = oldMidLine;
    RotationFailed(out, report);
    return;
  }
  out->rotationFailing = false;
  out->reopenPending = false;
  if (oldFd >= 0) {
    close(oldFd);
  }
}

}  // namespace

void LogFileMakeHeader(LogMessageHeader *header, uint32_t level) {
  LogFillHeader(header, &LogTheState().global, LogLevelRow(level));
}

bool LogFileWriteIdentification(LogFileOutput *out, const LogMessageHeader &header) {
  const char *app, *version, *build, *option;
  LogGetProductInfo(&app, &version, &build, &option);
  auto orUnknown = [](const char *s) { return s != nullptr ? s : "unknown"; };
  StringEncoding encoding = Unicode_GetCurrentEncoding();
  const char *encodingName = encoding >= 0 ? Unicode_EncodingEnumToName(encoding) : "unknown";
  const char *codeSet = CodeSet_GetCurrentCodeSet();
  int64_t offset = out->hostUtcOffset;
  bool ok = WriteText(out, header, "Log for %s pid=%d version=%s build=%s option=%s\n",
                      orUnknown(app), static_cast<int>(getpid()), orUnknown(version),
                      orUnknown(build), orUnknown(option)) &&
            WriteText(out, header, "The host is %s.\n", ArchName()) &&
            WriteText(out, header, "Host codepage=%s encoding=%s\n", orUnknown(codeSet),
                      orUnknown(encodingName)) &&
            (out->switches.useTimeStamps ||
             WriteText(out, header, "Log creation time is %s%s%s\n", header.time.dateTime,
                       header.time.milliSec, header.time.suffix)) &&
            WriteText(out, header, "Host is %s\n", Log_HostDescription()) &&
            WriteText(out, header, "Host offset from UTC is %+03d:%02d.\n",
                      static_cast<int>(offset / 3600),
                      static_cast<int>((offset < 0 ? -offset : offset) % 3600 / 60));
  if (!ok) {
    Log_Warning("Unable to label log file '%s'\n", out->fileName);
  }
  return ok;
}

void LogFileLogLine(LogOutput *output, LogMessageHeader *header, size_t length,
                    const char *line) {
  LogErrnoKeeper keepErrno;
  LogFileOutput *out = AsFileOutput(output);
  if (out->rotateSize != 0 && out->bytesWritten > static_cast<uint64_t>(out->rotateSize)) {
    RotateBySize(out, *header);
  }
  bool throttled = ThrottleCheck(out, length);
  if (throttled != out->throttled && !header->continuation) {
    if (throttled) {
      LogMessageHeader marker = *header;
      marker.level = &kLogLevelTable[kLogAudit];
      WriteText(out, marker, "<<< %s Throttled >>>\n", out->head.name);
      LogRingClear(&out->throttleRing);
    } else {
      LogMessageHeader queued;
      size_t queuedLength;
      while (LogRingPop(&out->throttleRing, &queued, out->scratch, sizeof out->scratch,
                        &queuedLength)) {
        WriteLine(out, queued, out->scratch, queuedLength);
      }
    }
    out->throttled = throttled;
  }
  LogRingAppend(&out->throttleRing, *header, line, length);
  if (!out->throttled) {
    WriteLine(out, *header, line, length);
  }
}
