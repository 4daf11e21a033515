#include "lib/log/log_ring.h"

#include <algorithm>
#include <cstring>

namespace {

void CopyIn(LogRing *ring, const void *src, size_t n) {
  const auto *p = static_cast<const uint8_t *>(src);
  size_t first = std::min(n, ring->size - ring->writePos);
  memcpy(ring->data + ring->writePos, p, first);
  memcpy(ring->data, p + first, n - first);
  ring->writePos = (ring->writePos + n) % ring->size;
  ring->used += n;
}

void CopyOut(LogRing *ring, void *dst, size_t n) {
  auto *p = static_cast<uint8_t *>(dst);
  size_t first = std::min(n, ring->size - ring->readPos);
  if (p != nullptr) {
    memcpy(p, ring->data + ring->readPos, first);
    memcpy(p + first, ring->data, n - first);
  }
  ring->readPos = (ring->readPos + n) % ring->size;
  ring->used -= n;
}

uint16_t PeekLength(const LogRing *ring) {
  uint8_t b[2];
  b[0] = ring->data[ring->readPos];
  b[1] = ring->data[(ring->readPos + 1) % ring->size];
  uint16_t len;
  memcpy(&len, b, sizeof len);
  return len;
}

void DropOldest(LogRing *ring) {
  uint16_t len = PeekLength(ring);
  CopyOut(ring, nullptr, sizeof(uint16_t) + len);
  ring->entries--;
}

}  // namespace

void LogRingInit(LogRing *ring, uint8_t *storage, size_t size) {
  ring->data = storage;
  ring->size = size;
  LogRingClear(ring);
}

void LogRingClear(LogRing *ring) {
  ring->readPos = 0;
  ring->writePos = 0;
  ring->used = 0;
  ring->entries = 0;
}

bool LogRingIsEmpty(const LogRing *ring) { return ring->used == 0; }

size_t LogRingEntries(const LogRing *ring) { return ring->entries; }

void LogRingAppend(LogRing *ring, const LogMessageHeader &header, const char *text,
                   size_t length) {
  if (ring->data == nullptr) {
    return;
  }
  // The 16-bit length field and the ring size bound one entry; a message
  // beyond that keeps a whole-character prefix and a newline.
  size_t maxText = std::min<size_t>(UINT16_MAX, ring->size - 1) - sizeof header - sizeof(uint16_t);
  bool truncated = length > maxText;
  if (truncated) {
    length = LogUtf8PrefixLength(text, maxText - 1);
  }
  size_t stored = length + (truncated ? 1 : 0);
  size_t need = sizeof(uint16_t) + sizeof header + stored;
  while (ring->size - ring->used <= need && ring->used > 0) {
    DropOldest(ring);
  }
  uint16_t entryLen = static_cast<uint16_t>(sizeof header + stored);
  CopyIn(ring, &entryLen, sizeof entryLen);
  CopyIn(ring, &header, sizeof header);
  CopyIn(ring, text, length);
  if (truncated) {
    CopyIn(ring, "\n", 1);
  }
  ring->entries++;
}

bool LogRingPop(LogRing *ring, LogMessageHeader *header, char *buf, size_t bufSize,
                size_t *length) {
  if (ring->data == nullptr || ring->used == 0 || bufSize == 0) {
    return false;
  }
  uint16_t entryLen = PeekLength(ring);
  CopyOut(ring, nullptr, sizeof entryLen);
  CopyOut(ring, header, sizeof *header);
  ring->entries--;
  size_t textLen = entryLen - sizeof *header;
  if (textLen < bufSize) {
    CopyOut(ring, buf, textLen);
    buf[textLen] = '\0';
    *length = textLen;
    return true;
  }
  CopyOut(ring, buf, bufSize - 1);
  CopyOut(ring, nullptr, textLen - (bufSize - 1));
  *length = LogCutUtf8(buf, bufSize, bufSize - 1);
  return true;
}
