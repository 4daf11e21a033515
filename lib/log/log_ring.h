// A circular byte buffer of (header, message) entries. The facility keeps
// messages here until an output exists; the file output keeps the newest
// lines of a throttled period. Appending drops the oldest entries when full.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lib/log/log_output.h"

struct LogRing {
  uint8_t *data;
  size_t size;
  size_t readPos;
  size_t writePos;
  size_t used;
  size_t entries;  // queued entries, so a flush can stop at what it found
};

constexpr size_t kLogRingSize = 64 * 1024;

// Uses storage (size bytes) for the ring; the caller owns the storage.
void LogRingInit(LogRing *ring, uint8_t *storage, size_t size);
void LogRingClear(LogRing *ring);
bool LogRingIsEmpty(const LogRing *ring);
size_t LogRingEntries(const LogRing *ring);
// Queues one entry; the oldest entries make room. A message that could never
// fit is cut to a whole UTF-8 character.
void LogRingAppend(LogRing *ring, const LogMessageHeader &header, const char *text,
                   size_t length);
// Pops the oldest entry into header and buf (NUL-terminated); a message
// longer than buf is cut to a whole UTF-8 character and the rest skipped.
// Returns false when the ring is empty.
bool LogRingPop(LogRing *ring, LogMessageHeader *header, char *buf, size_t bufSize,
                size_t *length);
