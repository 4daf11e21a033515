// Writing lines to the log file: size rotation, throttling with its marker
// and ring, the report of discarded bytes, and the identification block.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

// Writes prefix + line; true only when every byte was written.
bool WriteLine(LogFileOutput *out, const LogMessageHeader &header, const char *line,
               size_t length) {
  char *buf = out->lineBuffer;
  size_t prefixLength = LogFormatPrefix(buf, kLogFilePrefixMax, header, out->switches);
  if (out->fd >= 0 && out->bytesDiscarded > 0) {
    LogMessageHeader audit = header;
    audit.level = &kLogLevelTable[kLogAudit];
    char report[kLogFilePrefixMax + 96];
    size_t n = LogFormatPrefix(report, kLogFilePrefixMax, audit, out->switches);
    int m = snprintf(report + n, sizeof report - n,
                     ">>> Error writing log, %lu bytes discarded. Disk full?\n",
                     static_cast<unsigned long>(out->bytesDiscarded));
    size_t total = n + static_cast<size_t>(m);
    ssize_t w = WriteOnce(out->fd, report, total);
    if (w > 0) {
      out->bytesWritten += static_cast<uint64_t>(w);
    }
    if (w == static_cast<ssize_t>(total)) {
      out->bytesDiscarded = 0;
    }
  }
  length = std::min(length, kLogFileLineBufferSize - prefixLength);
  memcpy(buf + prefixLength, line, length);
  size_t total = prefixLength + length;
  ssize_t w = out->fd >= 0 ? WriteOnce(out->fd, buf, total) : -1;
  if (w < 0) {
    out->bytesDiscarded += total;
    return false;
  }
  out->bytesWritten += static_cast<uint64_t>(w);
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

void RotateBySize(LogFileOutput *out, const LogMessageHeader &lineHeader) {
  int oldFd = out->fd;
  if (out->keepOld > 0) {
    LogFileRotate(out);
  }
  int fd = LogFileSafeOpen(out);
  if (fd < 0) {
    return;  // keep writing to the old file
  }
  // The new file starts empty even when it is the file just written
  // (keep-old 0, or a rename that failed): old bytes must not trail the
  // new lines.
  if (ftruncate(fd, 0) != 0) {
    Log_Warning("Truncation of '%s' failed: %s\n", out->fileName, strerror(errno));
  }
  out->bytesWritten = 0;
  out->bytesDiscarded = 0;
  out->fd = fd;
  LogMessageHeader header = lineHeader;
  header.level = &kLogLevelTable[kLogInfo];
  header.continuation = 0;
  if (!LogFileWriteIdentification(out, header)) {
    close(fd);
    out->fd = oldFd;
    return;
  }
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
