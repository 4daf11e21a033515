// Line-per-event record of the fake compositor's input side.
#include "tools/fake-compositor/eis_recorder.h"

#include <time.h>

#include <cstdarg>
#include <cstdio>

namespace {
FILE *recordFile = nullptr;
}

uint64_t EisMonotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

bool EisRecorderOpen(const char *path) {
  if (path == nullptr || path[0] == '\0') {
    return true;
  }
  recordFile = fopen(path, "we");
  if (recordFile == nullptr) {
    perror(path);
    return false;
  }
  return true;
}

void EisRecorderClose() {
  if (recordFile != nullptr) {
    fclose(recordFile);
    recordFile = nullptr;
  }
}

void EisRecord(const char *fmt, ...) {
  if (recordFile == nullptr) {
    return;
  }
  // The time is taken first: it is the event's arrival, not the write's.
  uint64_t now = EisMonotonicNs();
  fprintf(recordFile, "%llu ", static_cast<unsigned long long>(now));
  va_list args;
  va_start(args, fmt);
  vfprintf(recordFile, fmt, args);
  va_end(args);
  fputc('\n', recordFile);
  fflush(recordFile);
}
