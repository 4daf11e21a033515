// Frame and cursor queues between the process worker (producer) and the
// capture event thread (consumer): four-slot single-producer rings that drop
// the newest item when full, each signalled by a semaphore-mode eventfd.
#pragma once

#include <atomic>
#include <cstdint>

#include "agent/channel_message.h"

struct CaptureFrame {
  char connector[kConnectorNameSize];
  uint32_t width;
  uint32_t height;
  uint32_t captureBufferSize;  // width * height * 4, or 0
  uint32_t capacity;
  uint8_t *captureBuffer;      // owned
};

struct CursorUpdate {
  char connector[kConnectorNameSize];
  int32_t x;
  int32_t y;
  uint32_t cursorBitmapSize;
  uint32_t capacity;
  uint32_t width;
  uint32_t height;
  int32_t hotspotX;
  int32_t hotspotY;
  uint32_t cursorId;
  uint8_t *cursorBitmap;       // owned (in a queued slot or consumer record)
};

constexpr uint32_t kQueueSlots = 4;

// Consumer side (capture event thread).
struct FrameQueue;
struct CursorQueue;
bool PopCaptureBuffer(FrameQueue *queue, CaptureFrame *out);
bool PopCursorBuffer(CursorQueue *queue, CursorUpdate *out);
// true when this update's bitmap must travel with it; nullptr resets.
bool CursorShapeChanged(const CursorUpdate *update);
