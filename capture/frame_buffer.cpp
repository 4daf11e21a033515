#include "capture/frame_buffer.h"

#include <sys/mman.h>

#include <cstdlib>

#include "lib/sig/panic.h"

namespace {

constexpr size_t kHugePage = size_t{2} << 20;

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
