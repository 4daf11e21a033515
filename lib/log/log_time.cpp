// Time stamps of log lines. A normal stamp is the UTC date and time; inside
// a signal handler no time conversion is safe, so the stamp is the last
// cached one plus the elapsed offset.
#include <atomic>
#include <cstdio>
#include <ctime>
#include <sys/time.h>

#include "lib/log/log_output.h"
#include "lib/thread/vthread.h"

namespace {

// Broken-down time of the last normal stamp: year-1900 (10 bits), month
// (4), day (5), hour (5), minute (6), second (6), millisecond (10).
std::atomic<uint64_t> cachedBrokenDown{0};
std::atomic<int64_t> cachedAbsMs{0};

uint64_t Pack(int year, int mon, int day, int hour, int min, int sec, int ms) {
  uint64_t w = static_cast<uint64_t>(year) & 0x3FF;
  w = (w << 4) | (static_cast<uint64_t>(mon) & 0xF);
  w = (w << 5) | (static_cast<uint64_t>(day) & 0x1F);
  w = (w << 5) | (static_cast<uint64_t>(hour) & 0x1F);
  w = (w << 6) | (static_cast<uint64_t>(min) & 0x3F);
  w = (w << 6) | (static_cast<uint64_t>(sec) & 0x3F);
  w = (w << 10) | (static_cast<uint64_t>(ms) & 0x3FF);
  return w;
}

}  // namespace

void LogMakeTimeStamp(LogTimeStamp *ts) {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  long ms = tv.tv_usec / 1000;
  int64_t nowMs = static_cast<int64_t>(tv.tv_sec) * 1000 + ms;

  if (VThread_IsInSignal()) {
    uint64_t w = cachedBrokenDown.load(std::memory_order_relaxed);
    int64_t base = cachedAbsMs.load(std::memory_order_relaxed);
    int64_t offset = nowMs - base;
    if (offset < 0) {
      offset = 0;
    }
    int sec = static_cast<int>((w >> 10) & 0x3F);
    int min = static_cast<int>((w >> 16) & 0x3F);
    int hour = static_cast<int>((w >> 22) & 0x1F);
    int day = static_cast<int>((w >> 27) & 0x1F);
    int mon = static_cast<int>((w >> 32) & 0xF);
    int year = static_cast<int>((w >> 36) & 0x3FF) + 1900;
    snprintf(ts->dateTime, sizeof ts->dateTime, "%04d-%02d-%02dT%02d:%02d:%02d%s[+%ld",
             year, mon, day, hour, min, sec, "Z", static_cast<long>(offset / 1000));
    snprintf(ts->milliSec, sizeof ts->milliSec, ".%03ld", static_cast<long>(offset % 1000));
    snprintf(ts->suffix, sizeof ts->suffix, "]");
    return;
  }

  struct tm tm;
  time_t secs = tv.tv_sec;
  gmtime_r(&secs, &tm);
  snprintf(ts->dateTime, sizeof ts->dateTime, "%04d-%02d-%02dT%02d:%02d:%02d",
           tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  snprintf(ts->milliSec, sizeof ts->milliSec, ".%03d", static_cast<int>(ms));
  snprintf(ts->suffix, sizeof ts->suffix, "Z");
  cachedBrokenDown.store(Pack(tm.tm_year, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                              tm.tm_sec, static_cast<int>(ms)),
                         std::memory_order_relaxed);
  cachedAbsMs.store(nowMs, std::memory_order_relaxed);
}
