// Frame and cursor queues between the process worker (producer) and the
// capture event thread (consumer): four-slot single-producer rings that drop
// the newest item when full, each signalled by a semaphore-mode eventfd.
//
// Every push copies the payload, so a queued item never refers to PipeWire
// memory, and the consumer keeps its own copy while it writes to the socket:
// a pop copies it out, or, when the slot's and the consumer's buffers are both
// exactly one frame (the steady state), trades the two buffers instead. Each
// slot has a lock held only while its contents are copied in or out; a format
// change takes the same locks to resize slot buffers, so no buffer is ever
// freed or resized under a copy.
#pragma once

#include <cstdint>
#include <mutex>

#include "base/channel_message.h"
#include "base/spsc_ring.h"

struct CaptureFrame {
  char connector[kConnectorNameSize];
  uint32_t width;
  uint32_t height;
  uint32_t captureBufferSize;  // width * height * 4, or 0
  uint32_t capacity;
  uint8_t *captureBuffer;      // owned (malloc)
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
  uint8_t *cursorBitmap;       // owned (malloc) in a slot or consumer record
};

constexpr uint32_t kQueueSlots = 4;
// A 384 x 384 cursor: the largest bitmap the agent accepts.
constexpr uint32_t MAX_CURSOR_BITMAP_SIZE = 589824;

struct FrameSlot {
  std::mutex lock;  // held while the slot's contents are copied or resized
  CaptureFrame frame{};
};

struct CursorSlot {
  std::mutex lock;
  CursorUpdate update{};
};

// Single producer (process worker), single consumer (capture event thread).
using FrameQueue = SpscRing<FrameSlot, kQueueSlots>;
using CursorQueue = SpscRing<CursorSlot, kQueueSlots>;

// Producer side (process worker). eventFd is screenFds / cursorFds; one unit
// is added per queued item. A full queue drops the new item with a warning.
// Return true when the item was queued.
bool PushCaptureFrame(FrameQueue *queue, int eventFd, const char *connector,
                      uint32_t width, uint32_t height, const uint8_t *pixels,
                      uint32_t byteCount);
// update->cursorBitmap may point into a PipeWire buffer; the bytes are copied.
bool PushCursorUpdate(CursorQueue *queue, int eventFd, const CursorUpdate *update);

// Consumer side (capture event thread).
// Moves the oldest frame into out: by trading buffers when both are exactly
// the frame's size, else by copying (reusing out's buffer when large
// enough). false, with a warning, when the queue is empty. A slot emptied by
// a format change pops with the new size and captureBufferSize 0; it holds no
// frame and is not to be sent.
bool PopCaptureBuffer(FrameQueue *queue, CaptureFrame *out);
// Copies the oldest update into out (out keeps its own bitmap buffer); with a
// null out the oldest update is discarded. false when the queue is empty.
bool PopCursorBuffer(CursorQueue *queue, CursorUpdate *out);
// Release the buffers owned by a consumer record or a slot and zero it.
void ReleaseCaptureFrame(CaptureFrame *frame);
void ReleaseCursorUpdate(CursorUpdate *update);

// Empties every slot (buffers released) and resets both indices; only when
// neither side is running. connector is written into every slot.
void ResetFrameQueue(FrameQueue *queue, const char *connector);
void ResetCursorQueue(CursorQueue *queue, const char *connector);

// A format change (any thread, while both sides may run): every frame slot
// takes the new size and a buffer of exactly frameBytes, and what it held is
// dropped (its pixels have the old size): such a slot pops with
// captureBufferSize 0. Each slot's lock is taken for its own change, so no
// buffer is resized under a copy.
void ResizeFrameQueue(FrameQueue *queue, uint32_t width, uint32_t height, uint32_t frameBytes);
// Gives every cursor slot without a bitmap buffer one of the largest cursor
// size, so the frame path allocates no cursor memory afterwards.
void ReserveCursorBitmaps(CursorQueue *queue);
