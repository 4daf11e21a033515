#include "base/sleep.h"

#include <errno.h>
#include <time.h>

void SleepMs(unsigned ms) {
  struct timespec left = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) == -1 && errno == EINTR) {
  }
}
