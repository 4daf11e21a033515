// Rate-limited messages: a caller's counter decides which occurrences are
// logged, thinning out as the count grows.
#include <atomic>

#include "lib/log/log.h"

namespace {

bool ShouldLog(uint32_t *counter) {
  uint32_t n = std::atomic_ref<uint32_t>(*counter).fetch_add(1, std::memory_order_relaxed) + 1;
  if (n == 0) {
    return false;  // the counter wrapped
  }
  return n <= 100 || (n < 10000 && n % 100 == 0) || (n < 1000000 && n % 10000 == 0) ||
         n % 1000000 == 0;
}

}  // namespace

void Log_InfoRateLimited(uint32_t *counter, const char *fmt, ...) {
  if (counter == nullptr || !ShouldLog(counter)) {
    return;
  }
  va_list args;
  va_start(args, fmt);
  Log_LevelV(kLogInfo, fmt, args);
  va_end(args);
}

void Log_WarningRateLimited(uint32_t *counter, const char *fmt, ...) {
  if (counter == nullptr || !ShouldLog(counter)) {
    return;
  }
  va_list args;
  va_start(args, fmt);
  Log_LevelV(kLogWarning, fmt, args);
  va_end(args);
}
