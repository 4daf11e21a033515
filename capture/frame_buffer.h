// Allocation of frame-sized pixel buffers (queue slots, the consumer's
// record, the destripe scratch buffer). Running out of memory ends the
// process. The buffers are released with free().
#pragma once

#include <cstddef>
#include <cstdint>

// A buffer of at least `bytes` bytes. Large buffers are aligned to 2 MiB and
// offered to the kernel for transparent huge pages: every frame is copied
// into them and written from them, and with 4 KiB pages a 1080p frame spans
// some two thousand pages whose TLB misses add to each copy.
uint8_t *AllocFrameBuffer(uint32_t bytes);

// Keeps *buffer when its capacity is exactly `needed`, else replaces it (the
// old one freed) with one of that size: a format change gives every frame
// buffer the new frame's size, so the steady state can trade buffers.
void SizeFrameBufferExactly(uint8_t **buffer, uint32_t *capacity, uint32_t needed);

// Copies a frame's bytes into a frame buffer. Very large copies bypass the
// cache: the bytes are next read by another thread's socket write, not by
// this one, and such a frame is larger than the cache would keep anyway, so
// loading each destination line before overwriting it is wasted traffic.
void CopyFrameBytes(uint8_t *dst, const uint8_t *src, size_t bytes);
