// Allocation of frame-sized pixel buffers (queue slots, the consumer's
// record, the destripe scratch buffer). Running out of memory ends the
// process. The buffers are released with free().
#pragma once

#include <cstdint>

// A buffer of at least `bytes` bytes. Large buffers are aligned to 2 MiB and
// offered to the kernel for transparent huge pages: every frame is copied
// into them and written from them, and with 4 KiB pages a 1080p frame spans
// some two thousand pages whose TLB misses add to each copy.
uint8_t *AllocFrameBuffer(uint32_t bytes);
