// The frame path: on_process hands the newest PipeWire buffer to the process
// worker, which extracts the cursor, packs the rows and queues both.
#include <spa/buffer/buffer.h>
#include <spa/buffer/meta.h>

#include <cerrno>
#include <cstring>

#include "base/event_fd.h"
#include "capture/screencast_internal.h"
#include "lib/log/log.h"

namespace {

// PipeWire's queue of returned buffers takes one writer at a time; both
// on_process and the worker return buffers, so they take turns here. The
// lock is held only for the call itself.
void ReturnBuffer(ScreenCastContext *ctx, pw_buffer *buffer) {
  std::lock_guard<std::mutex> guard(ctx->queueBufferLock);
  ctx->pwApi.pw_stream_queue_buffer(ctx->stream.get(), buffer);
}

// Fills update from the cursor metadata; false when the buffer has none.
// update->cursorBitmap is left pointing into the metadata entry.
bool ExtractCursor(ScreenCastContext *ctx, spa_buffer *buffer, CursorUpdate *update) {
  const spa_meta *meta = spa_buffer_find_meta(buffer, SPA_META_Cursor);
  if (meta == nullptr || meta->size < sizeof(spa_meta_cursor) || meta->data == nullptr) {
    return false;
  }
  const auto *cursor = static_cast<const spa_meta_cursor *>(meta->data);
  if (cursor->id == 0) {
    return false;
  }
  *update = CursorUpdate{};
  memcpy(update->connector, ctx->connector, kConnectorNameSize);
  update->x = cursor->position.x;
  update->y = cursor->position.y;
  update->hotspotX = cursor->hotspot.x;
  update->hotspotY = cursor->hotspot.y;
  update->cursorId = cursor->id;

  const uint32_t bitmapOffset = cursor->bitmap_offset;
  if (bitmapOffset == 0) {
    return true;
  }
  if (bitmapOffset < sizeof(spa_meta_cursor)) {
    Log_Warning("Sightwell: cursor bitmap_offset %u < sizeof(spa_meta_cursor) %zu; "
                "ignoring malformed cursor bitmap\n",
                bitmapOffset, sizeof(spa_meta_cursor));
    return true;
  }
  // The bitmap header itself must lie inside the metadata entry.
  if (uint64_t{bitmapOffset} + sizeof(spa_meta_bitmap) > meta->size) {
    Log_Warning("Sightwell: cursor bitmap header at offset %u beyond metadata size %u; "
                "ignoring bitmap\n",
                bitmapOffset, meta->size);
    return true;
  }
  // The offset comes from the compositor and need not be aligned: read the
  // header by copy, never through a misaligned pointer.
  const uint8_t *bitmapStart = static_cast<const uint8_t *>(meta->data) + bitmapOffset;
  spa_meta_bitmap header;
  memcpy(&header, bitmapStart, sizeof header);
  const spa_meta_bitmap *bitmap = &header;
  if (bitmap->format == 0 || bitmap->size.width == 0 || bitmap->size.height == 0) {
    return true;
  }
  update->width = bitmap->size.width;
  update->height = bitmap->size.height;
  const uint64_t stride64 = uint64_t{bitmap->size.width} * 4;
  const uint64_t bytes64 = stride64 * bitmap->size.height;
  const uint32_t packedStride = static_cast<uint32_t>(stride64);
  if (bytes64 > MAX_CURSOR_BITMAP_SIZE) {
    Log_Warning("Sightwell: cursor packedBytes=%u exceeds MAX_CURSOR_BITMAP_SIZE=%u "
                "(packedStride=%u h=%u); ignoring bitmap\n",
                bytes64 > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(bytes64),
                MAX_CURSOR_BITMAP_SIZE, packedStride, bitmap->size.height);
    return true;
  }
  const uint32_t packedBytes = static_cast<uint32_t>(bytes64);
  const uint32_t pixelOffset = bitmap->offset;
  if (pixelOffset > MAX_CURSOR_BITMAP_SIZE || MAX_CURSOR_BITMAP_SIZE - pixelOffset < packedBytes) {
    Log_Warning("Sightwell: cursor bitmap pixel data out of bounds (offset=%u packedBytes=%u "
                "max=%u); ignoring bitmap\n",
                pixelOffset, packedBytes, MAX_CURSOR_BITMAP_SIZE);
    return true;
  }
  // Offsets are relative to the bitmap header; the pixels must end inside
  // the metadata entry, not merely below the largest cursor size.
  const uint32_t room = meta->size - bitmapOffset;
  if (uint64_t{pixelOffset} + packedBytes > room) {
    Log_Warning("Sightwell: cursor bitmap pixel data out of bounds (offset=%u packedBytes=%u "
                "max=%u); ignoring bitmap\n",
                pixelOffset, packedBytes, room);
    return true;
  }
  update->cursorBitmap = const_cast<uint8_t *>(bitmapStart + pixelOffset);
  update->cursorBitmapSize = packedBytes;
  return true;
}

}  // namespace

void on_process(void *data) {
  auto *ctx = static_cast<ScreenCastContext *>(data);
  const PipeWireApi &pw = ctx->pwApi;

  // Keep only the newest buffer; older ones go straight back.
  pw_buffer *held = nullptr;
  pw_buffer *next;
  while ((next = pw.pw_stream_dequeue_buffer(ctx->stream.get())) != nullptr) {
    if (held != nullptr) {
      ReturnBuffer(ctx, held);
    }
    held = next;
  }
  if (held == nullptr) {
    return;
  }

  const spa_buffer *buffer = held->buffer;
  const int fd = ctx->handoffFd.load(std::memory_order_acquire);
  if (buffer != nullptr && buffer->n_datas > 0 && buffer->datas[0].data != nullptr &&
      buffer->datas[0].chunk != nullptr && fd >= 0) {
    pw_buffer **slot = ctx->handoff.WriteSlot();
    if (slot != nullptr) {
      *slot = held;
      ctx->handoff.Publish();
      // Nothing to do about a failed wake-up on the real-time thread: the
      // worker takes this buffer with the next one.
      SignalEventFd(fd);
      return;
    }
  }
  ReturnBuffer(ctx, held);
}

void on_remove_buffer(void *data, pw_buffer *buffer) {
  auto *ctx = static_cast<ScreenCastContext *>(data);
  // Waits until the worker is done with the buffer in hand, then drops every
  // waiting reference to the buffer being removed. Only slots between the
  // consumer and the producer index are read: on_process writes the slot at
  // the producer index before it publishes it.
  std::lock_guard<std::mutex> hold(ctx->bufferLock);
  ctx->handoff.ForEachWaiting([buffer](pw_buffer *&waiting) {
    if (waiting == buffer) {
      waiting = nullptr;
    }
  });
}

void *ProcessWorker(void *data) {
  auto *ctx = static_cast<ScreenCastContext *>(data);
  const int fd = ctx->handoffFd.load(std::memory_order_acquire);
  for (;;) {
    if (ReadEventFd(fd) != 0) {
      Log_Warning("Sightwell: ProcessWorker[%s]: eventfd read error: errno=%d\n", ctx->connector,
                  errno);
      return nullptr;
    }
    // One buffer per hold of bufferLock, so a removal waits at most for the
    // buffer in hand, never for the eventfd.
    for (;;) {
      std::lock_guard<std::mutex> hold(ctx->bufferLock);
      pw_buffer **slot = ctx->handoff.ReadSlot();
      if (slot == nullptr) {
        break;
      }
      pw_buffer *buffer = *slot;
      ctx->handoff.Consume();
      if (buffer == nullptr) {
        continue;  // removed by PipeWire while it waited: gone, not ours to return
      }
      ProcessBuffer(ctx, buffer);
      ReturnBuffer(ctx, buffer);
    }
    if (ctx->workerStop.load(std::memory_order_acquire)) {
      return nullptr;
    }
  }
}

void ProcessBuffer(ScreenCastContext *ctx, pw_buffer *pwBuffer) {
  spa_buffer *buffer = pwBuffer->buffer;
  if (buffer == nullptr || buffer->n_datas == 0) {
    return;
  }
  const spa_data &block = buffer->datas[0];
  if (block.data == nullptr || block.chunk == nullptr) {
    return;
  }
  const uint32_t maxsize = block.maxsize;
  const uint32_t offset = block.chunk->offset;
  const uint32_t size = block.chunk->size;
  if (offset >= maxsize || size > maxsize - offset) {
    Log_Warning("ProcessBuffer[%s] chunk bounds check failed: offset=%u size=%u maxsize=%u\n",
                ctx->connector, offset, size, maxsize);
    return;
  }

  // The format lock keeps width, height and the scratch buffer steady for the
  // whole buffer while a format change may arrive on the PipeWire thread.
  std::lock_guard<std::mutex> format(ctx->formatLock);

  CursorUpdate cursor;
  if (ExtractCursor(ctx, buffer, &cursor)) {
    PushCursorUpdate(&ctx->cursorQueue, ctx->cursorFds, &cursor);
  }
  if (size == 0) {
    return;  // cursor-only buffer
  }

  const uint32_t width = ctx->width;
  const uint32_t height = ctx->height;
  const uint32_t packedStride = ctx->packedStride;
  const int32_t chunkStride = block.chunk->stride;
  const uint32_t pwStride = chunkStride > 0 ? static_cast<uint32_t>(chunkStride) : packedStride;
  const uint32_t needed = packedStride * height;
  if (needed == 0 || pwStride < packedStride) {
    Log_Warning("ProcessBuffer[%s]: invalid stride/dimensions (pwStride=%u packedStride=%u "
                "w=%u h=%u), dropping frame\n",
                ctx->connector, pwStride, packedStride, width, height);
    return;
  }
  // The rows read span pwStride * (height - 1) + packedStride bytes from the
  // chunk offset; the chunk must hold all of them.
  const uint64_t span = uint64_t{pwStride} * (height - 1) + packedStride;
  if (span > size) {
    Log_Warning("ProcessBuffer[%s]: frame data too short (offset=%u size=%u needed=%llu), "
                "dropping frame\n",
                ctx->connector, offset, size, static_cast<unsigned long long>(span));
    return;
  }

  const uint8_t *picture = static_cast<const uint8_t *>(block.data) + offset;
  const uint8_t *source = picture;
  if (pwStride != packedStride) {
    if (ctx->scratchBuffer == nullptr || ctx->scratchCapacity < needed) {
      Log_Warning("ProcessBuffer[%s]: scratch buffer too small for destripe (capacity=%u "
                  "needed=%u), dropping frame\n",
                  ctx->connector, ctx->scratchCapacity, needed);
      return;
    }
    for (uint32_t row = 0; row < height; row++) {
      memcpy(ctx->scratchBuffer + size_t{row} * packedStride,
             picture + size_t{row} * pwStride, packedStride);
    }
    source = ctx->scratchBuffer;
  }
  PushCaptureFrame(&ctx->frameQueue, ctx->screenFds, ctx->connector, width, height, source,
                   needed);
}
