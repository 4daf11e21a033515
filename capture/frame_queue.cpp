// The frame and cursor rings: copy in on the producer, copy out on the
// consumer, drop the newest item when full.
#include "capture/frame_queue.h"

#include <cstdlib>
#include <cstring>
#include <utility>

#include "base/event_fd.h"
#include "capture/frame_buffer.h"
#include "lib/log/log.h"
#include "lib/sig/panic.h"

namespace {

// Allocation that cannot fail: running out of memory ends the process.
uint8_t *MustAlloc(uint32_t bytes) {
  void *p = malloc(bytes);
  if (p == nullptr) {
    Panic_MemAllocSize(bytes);
  }
  return static_cast<uint8_t *>(p);
}

void CopyConnector(char *dst, const char *src) {
  if (src == nullptr) {
    dst[0] = '\0';
    return;
  }
  // At most 31 characters and always terminated.
  const size_t n = strnlen(src, kConnectorNameSize - 1);
  memcpy(dst, src, n);
  dst[n] = '\0';
}

// One unit on a semaphore-mode eventfd per queued item. A failed wake-up
// cannot be helped here: the item waits for the next one.
void Signal(int eventFd) {
  if (eventFd >= 0) {
    SignalEventFd(eventFd);
  }
}

}  // namespace

bool PushCaptureFrame(FrameQueue *queue, int eventFd, const char *connector,
                      uint32_t width, uint32_t height, const uint8_t *pixels,
                      uint32_t byteCount) {
  FrameSlot *empty = queue->WriteSlot();
  if (empty == nullptr) {
    Log_Warning("Dropping frame for connector %s due to full queue\n", connector);
    return false;
  }
  FrameSlot &slot = *empty;
  {
    std::lock_guard<std::mutex> guard(slot.lock);
    CaptureFrame &f = slot.frame;
    CopyConnector(f.connector, connector);
    f.width = width;
    f.height = height;
    if (byteCount > 0 && (f.captureBuffer == nullptr || f.capacity < byteCount)) {
      free(f.captureBuffer);
      f.captureBuffer = AllocFrameBuffer(byteCount);
      f.capacity = byteCount;
    }
    f.captureBufferSize = byteCount;
    if (byteCount > 0) {
      CopyFrameBytes(f.captureBuffer, pixels, byteCount);
    }
  }
  queue->Publish();
  Signal(eventFd);
  return true;
}

bool PushCursorUpdate(CursorQueue *queue, int eventFd, const CursorUpdate *update) {
  CursorSlot *empty = queue->WriteSlot();
  if (empty == nullptr) {
    Log_Warning("Dropping cursor for connector %s due to full queue\n", update->connector);
    return false;
  }
  CursorSlot &slot = *empty;
  {
    std::lock_guard<std::mutex> guard(slot.lock);
    CursorUpdate &u = slot.update;
    CopyConnector(u.connector, update->connector);
    u.cursorId = update->cursorId;
    u.x = update->x;
    u.y = update->y;
    u.width = update->width;
    u.height = update->height;
    u.hotspotX = update->hotspotX;
    u.hotspotY = update->hotspotY;
    const uint32_t size = update->cursorBitmapSize;
    if (update->cursorBitmap != nullptr && size > 0) {
      if (u.cursorBitmap == nullptr || u.capacity < size) {
        free(u.cursorBitmap);
        u.cursorBitmap = MustAlloc(size);
        u.capacity = size;
      }
      memcpy(u.cursorBitmap, update->cursorBitmap, size);
      u.cursorBitmapSize = size;
    } else {
      u.cursorBitmapSize = 0;
    }
  }
  queue->Publish();
  Signal(eventFd);
  return true;
}

bool PopCaptureBuffer(FrameQueue *queue, CaptureFrame *out) {
  FrameSlot *waiting = queue->ReadSlot();
  if (waiting == nullptr) {
    Log_Warning("No capture buffer available in queue\n");
    return false;
  }
  FrameSlot &slot = *waiting;
  {
    std::lock_guard<std::mutex> guard(slot.lock);
    CaptureFrame &f = slot.frame;
    memcpy(out->connector, f.connector, kConnectorNameSize);
    out->width = f.width;
    out->height = f.height;
    const uint32_t size = f.captureBufferSize;
    if (size == 0 || f.captureBuffer == nullptr) {
      free(out->captureBuffer);
      out->captureBuffer = nullptr;
      out->captureBufferSize = 0;
      out->capacity = 0;
    } else if (out->captureBuffer != nullptr && out->capacity == size && f.capacity == size) {
      // The steady state: both buffers are exactly one frame. Trading them
      // gives the consumer its own copy of the frame without copying it, and
      // hands the slot a buffer of the same size for the producer to refill.
      std::swap(f.captureBuffer, out->captureBuffer);
      out->captureBufferSize = size;
    } else {
      if (out->captureBuffer == nullptr || out->capacity < size) {
        free(out->captureBuffer);
        out->captureBuffer = AllocFrameBuffer(size);
        out->capacity = size;
      }
      out->captureBufferSize = size;
      memcpy(out->captureBuffer, f.captureBuffer, size);
    }
  }
  queue->Consume();
  return true;
}

bool PopCursorBuffer(CursorQueue *queue, CursorUpdate *out) {
  CursorSlot *waiting = queue->ReadSlot();
  if (waiting == nullptr) {
    Log_Warning("No cursor buffer available in queue\n");
    return false;
  }
  if (out != nullptr) {
    CursorSlot &slot = *waiting;
    std::lock_guard<std::mutex> guard(slot.lock);
    const CursorUpdate &u = slot.update;
    uint8_t *keepBuffer = out->cursorBitmap;
    const uint32_t keepCapacity = out->capacity;
    *out = u;
    out->cursorBitmap = keepBuffer;
    out->capacity = keepCapacity;
    out->cursorBitmapSize = 0;
    const uint32_t size = u.cursorBitmapSize;
    if (size > 0 && u.cursorBitmap != nullptr) {
      if (out->cursorBitmap == nullptr || out->capacity < size) {
        free(out->cursorBitmap);
        // A plain allocation: without memory the update goes without bitmap.
        out->cursorBitmap = static_cast<uint8_t *>(malloc(size));
        out->capacity = out->cursorBitmap != nullptr ? size : 0;
      }
      if (out->cursorBitmap != nullptr) {
        memcpy(out->cursorBitmap, u.cursorBitmap, size);
        out->cursorBitmapSize = size;
      }
    }
  }
  queue->Consume();
  return true;
}

void ReleaseCaptureFrame(CaptureFrame *frame) {
  free(frame->captureBuffer);
  *frame = CaptureFrame{};
}

void ReleaseCursorUpdate(CursorUpdate *update) {
  free(update->cursorBitmap);
  *update = CursorUpdate{};
}

void ResetFrameQueue(FrameQueue *queue, const char *connector) {
  queue->Reset();
  for (FrameSlot &slot : queue->slots) {
    std::lock_guard<std::mutex> guard(slot.lock);
    ReleaseCaptureFrame(&slot.frame);
    CopyConnector(slot.frame.connector, connector);
  }
}

void ResetCursorQueue(CursorQueue *queue, const char *connector) {
  queue->Reset();
  for (CursorSlot &slot : queue->slots) {
    std::lock_guard<std::mutex> guard(slot.lock);
    ReleaseCursorUpdate(&slot.update);
    CopyConnector(slot.update.connector, connector);
  }
}

void ResizeFrameQueue(FrameQueue *queue, uint32_t width, uint32_t height, uint32_t frameBytes) {
  for (FrameSlot &slot : queue->slots) {
    std::lock_guard<std::mutex> guard(slot.lock);
    slot.frame.width = width;
    slot.frame.height = height;
    SizeFrameBufferExactly(&slot.frame.captureBuffer, &slot.frame.capacity, frameBytes);
    slot.frame.captureBufferSize = 0;
  }
}

void ReserveCursorBitmaps(CursorQueue *queue) {
  for (CursorSlot &slot : queue->slots) {
    std::lock_guard<std::mutex> guard(slot.lock);
    if (slot.update.cursorBitmap == nullptr) {
      slot.update.cursorBitmap = MustAlloc(MAX_CURSOR_BITMAP_SIZE);
      slot.update.capacity = MAX_CURSOR_BITMAP_SIZE;
      slot.update.cursorBitmapSize = 0;
    }
  }
}
