#include "base/error.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <cstdarg>

void LogSystemError(uint32_t level, int err, const char *fmt, ...) {
  const int saved = errno;
  char text[1024];
  va_list args;
  va_start(args, fmt);
  vsnprintf(text, sizeof text, fmt, args);
  va_end(args);
  char reason[128];
  // The GNU strerror_r returns the text, in reason or a static string.
  const char *why = strerror_r(err, reason, sizeof reason);
  Log_Level(level, "%s: %s", text, why);
  errno = saved;
}
