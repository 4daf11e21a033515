#include "capture/frame_buffer.h"

#include <sys/mman.h>

#include <cstdlib>
#include <cstring>

#if defined(__x86_64__)
#include <emmintrin.h>
#endif

#include "lib/sig/panic.h"

namespace {

constexpr size_t kHugePage = size_t{2} << 20;
// Smaller frames are copied through the cache: a 1080p frame (8 MB) read
// soon after by the socket write still finds part of itself there, and
// streaming it measured no faster overall. From 16 MiB on (2160p is 33 MB)
// streaming stores saved about an eighth of the frame's cost.
constexpr size_t kStreamingCopyMin = size_t{16} << 20;

}  // namespace

uint8_t *AllocFrameBuffer(uint32_t bytes) {
  void *p = nullptr;
  if (bytes >= kHugePage) {
    const size_t rounded = (size_t{bytes} + kHugePage - 1) / kHugePage * kHugePage;
    p = aligned_alloc(kHugePage, rounded);
    if (p != nullptr) {
      // Advice only: without huge pages the buffer works the same.
      madvise(p, rounded, MADV_HUGEPAGE);
    }
  } else {
    p = malloc(bytes);
  }
  if (p == nullptr) {
    Panic_MemAllocSize(bytes);
  }
  return static_cast<uint8_t *>(p);
}

void SizeFrameBufferExactly(uint8_t **buffer, uint32_t *capacity, uint32_t needed) {
  if (*buffer != nullptr && *capacity == needed) {
    return;
  }
  free(*buffer);
  *buffer = AllocFrameBuffer(needed);
  *capacity = needed;
}

void CopyFrameBytes(uint8_t *dst, const uint8_t *src, size_t bytes) {
#if defined(__x86_64__)
  if (bytes >= kStreamingCopyMin) {
    // Streaming stores need a 16-byte aligned destination.
    const size_t head = (16 - (reinterpret_cast<uintptr_t>(dst) & 15)) & 15;
    memcpy(dst, src, head);
    size_t i = head;
    for (; i + 64 <= bytes; i += 64) {
      const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + i));
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + i + 16));
      const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + i + 32));
      const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + i + 48));
      _mm_stream_si128(reinterpret_cast<__m128i *>(dst + i), a);
      _mm_stream_si128(reinterpret_cast<__m128i *>(dst + i + 16), b);
      _mm_stream_si128(reinterpret_cast<__m128i *>(dst + i + 32), c);
      _mm_stream_si128(reinterpret_cast<__m128i *>(dst + i + 48), d);
    }
    // Streaming stores are weakly ordered: fence them before the frame is
    // published to the consumer.
    _mm_sfence();
    memcpy(dst + i, src + i, bytes - i);
    return;
  }
#endif
  memcpy(dst, src, bytes);
}
