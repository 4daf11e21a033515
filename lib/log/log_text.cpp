// Text helpers of the facility: whole-character cuts, the masked token and
// the line prefix of line-mode outputs.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <strings.h>

#include "lib/log/log_output.h"

size_t LogUtf8PrefixLength(const char *text, size_t limit) {
  if (limit == 0) {
    return 0;
  }
  const auto *s = reinterpret_cast<const unsigned char *>(text);
  size_t i = limit - 1;
  int continuation = 0;
  while (i > 0 && (s[i] & 0xC0) == 0x80 && continuation < 3) {
    i--;
    continuation++;
  }
  size_t expected;
  if ((s[i] & 0x80) == 0) {
    return limit;  // ASCII; stray continuation bytes are kept as they are
  } else if ((s[i] & 0xE0) == 0xC0) {
    expected = 2;
  } else if ((s[i] & 0xF0) == 0xE0) {
    expected = 3;
  } else if ((s[i] & 0xF8) == 0xF0) {
    expected = 4;
  } else {
    return limit;  // not a lead byte: nothing to complete
  }
  return i + expected > limit ? i : limit;
}

size_t LogCutUtf8(char *buf, size_t n, size_t textLength) {
  if (n == 0) {
    return 0;
  }
  if (n <= 2) {
    buf[0] = '\n';
    if (n == 2) {
      buf[1] = '\0';
    }
    return 1;
  }
  size_t kept = LogUtf8PrefixLength(buf, std::min(textLength, n - 2));
  buf[kept] = '\n';
  buf[kept + 1] = '\0';
  return kept + 1;
}

void LogMaskText(char *text, size_t length) {
  if (length <= 2) {
    return;
  }
  size_t i = 0;
  while (i + 3 <= length) {
    if (strncasecmp(text + i, "zov", 3) == 0) {
      text[i] = text[i + 1] = text[i + 2] = '*';
      i += 3;
    } else {
      i++;
    }
  }
}

namespace {

// Appends to buf at *pos, keeping the result NUL-terminated and in bounds.
void Append(char *buf, size_t size, size_t *pos, const char *fmt, ...) SW_PRINTF(4, 5);
void Append(char *buf, size_t size, size_t *pos, const char *fmt, ...) {
  if (*pos + 1 >= size) {
    return;
  }
  va_list args;
  va_start(args, fmt);
  int n = vsnprintf(buf + *pos, size - *pos, fmt, args);
  va_end(args);
  if (n > 0) {
    *pos = std::min(*pos + static_cast<size_t>(n), size - 1);
  }
}

}  // namespace

size_t LogFormatPrefix(char *buf, size_t size, const LogMessageHeader &header,
                       const LogPrefixSwitches &switches) {
  if (size == 0) {
    return 0;
  }
  size_t pos = 0;
  buf[0] = '\0';
  if (switches.useTimeStamps) {
    if (switches.useMilliseconds) {
      Append(buf, size, &pos, "%s%s%s ", header.time.dateTime, header.time.milliSec,
             header.time.suffix);
    } else {
      Append(buf, size, &pos, "%s%s ", header.time.dateTime, header.time.suffix);
    }
  }
  if (switches.useLevelDesignator) {
    Append(buf, size, &pos, "%s(%02d)%s ", header.level->designator, header.level->value,
           header.continuation ? "+" : "");
  }
  if (switches.useThreadName) {
    Append(buf, size, &pos, "%s ", header.threadName);
  }
  if (switches.useOpId) {
    Append(buf, size, &pos, "%s ", header.opId[0] != '\0' ? header.opId : "-");
  }
  return pos;
}
