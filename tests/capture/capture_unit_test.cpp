// Unit tests of the capture path without PipeWire or D-Bus: the queues, the
// cursor shape tracker, ProcessBuffer on synthetic buffers and the format
// callback with a stubbed PipeWire table.
#include <gtest/gtest.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <sys/eventfd.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include "capture/frame_buffer.h"
#include "capture/screencast_internal.h"
#include "tests/capture/capture_test_util.h"

namespace {

using captest::CursorSpec;
using captest::StderrCapture;
using captest::SyntheticBuffer;

std::atomic<int> updateParamsCalls{0};
std::atomic<int> setActiveCalls{0};

int StubUpdateParams(pw_stream *, const spa_pod **, uint32_t n) {
  EXPECT_EQ(n, 2u);
  updateParamsCalls++;
  return 0;
}
int StubSetActive(pw_stream *, bool active) {
  EXPECT_TRUE(active);
  setActiveCalls++;
  return 0;
}

class CaptureUnit : public ::testing::Test {
 protected:
  void SetUp() override {
    ctx = new ScreenCastContext();
    strcpy(ctx->connector, "Meta-0");
    ctx->screenFds = eventfd(0, EFD_SEMAPHORE | EFD_NONBLOCK | EFD_CLOEXEC);
    ctx->cursorFds = eventfd(0, EFD_SEMAPHORE | EFD_NONBLOCK | EFD_CLOEXEC);
    ctx->pwApi.pw_stream_update_params = StubUpdateParams;
    ctx->pwApi.pw_stream_set_active = StubSetActive;
    ResetFrameQueue(&ctx->frameQueue, ctx->connector);
    ResetCursorQueue(&ctx->cursorQueue, ctx->connector);
  }
  void TearDown() override {
    close(ctx->screenFds);
    close(ctx->cursorFds);
    delete ctx;
  }
  // Units waiting on a semaphore-mode eventfd.
  static int Units(int fd) {
    int n = 0;
    uint64_t v;
    while (read(fd, &v, sizeof v) == sizeof v) n++;
    return n;
  }
  void Negotiate(uint32_t format, uint32_t width, uint32_t height) {
    uint8_t buf[512];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buf, sizeof buf);
    spa_video_info_raw info{};
    info.format = static_cast<spa_video_format>(format);
    info.size = SPA_RECTANGLE(width, height);
    info.framerate = SPA_FRACTION(0, 1);
    const spa_pod *pod = spa_format_video_raw_build(&b, SPA_PARAM_Format, &info);
    on_param_changed(ctx, SPA_PARAM_Format, pod);
  }
  ScreenCastContext *ctx = nullptr;
};

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; i++) v[i] = static_cast<uint8_t>(seed + i * 13);
  return v;
}

TEST_F(CaptureUnit, FrameQueueDropsNewestAndKeepsOrder) {
  StderrCapture log;
  std::vector<std::vector<uint8_t>> frames;
  for (uint8_t i = 0; i < 4; i++) frames.push_back(Pattern(64, i));
  for (int i = 0; i < 3; i++) {
    EXPECT_TRUE(PushCaptureFrame(&ctx->frameQueue, ctx->screenFds, "Meta-0", 4, 4,
                                 frames[i].data(), 64));
  }
  EXPECT_FALSE(PushCaptureFrame(&ctx->frameQueue, ctx->screenFds, "Meta-0", 4, 4,
                                frames[3].data(), 64));
  EXPECT_TRUE(log.Contains("Dropping frame for connector Meta-0 due to full queue\n"));
  EXPECT_EQ(Units(ctx->screenFds), 3);

  CaptureFrame out{};
  for (int i = 0; i < 3; i++) {
    ASSERT_TRUE(PopCaptureBuffer(&ctx->frameQueue, &out));
    EXPECT_STREQ(out.connector, "Meta-0");
    EXPECT_EQ(out.width, 4u);
    ASSERT_EQ(out.captureBufferSize, 64u);
    EXPECT_EQ(0, memcmp(out.captureBuffer, frames[i].data(), 64));
  }
  EXPECT_FALSE(PopCaptureBuffer(&ctx->frameQueue, &out));
  EXPECT_TRUE(log.Contains("No capture buffer available in queue\n"));

  // A record larger than the frame keeps its buffer.
  uint8_t *before = out.captureBuffer;
  PushCaptureFrame(&ctx->frameQueue, ctx->screenFds, "Meta-0", 2, 2, frames[0].data(), 16);
  ASSERT_TRUE(PopCaptureBuffer(&ctx->frameQueue, &out));
  EXPECT_EQ(out.captureBuffer, before);
  EXPECT_EQ(out.captureBufferSize, 16u);
  EXPECT_EQ(out.capacity, 64u);
  ReleaseCaptureFrame(&out);
}

// Once the consumer's buffer and the slots are exactly one frame, pops trade
// buffers instead of copying: the consumer's frame must stay intact while the
// producer refills every slot, and no buffer may end up in two places.
TEST_F(CaptureUnit, SteadyStatePopsKeepTheirFrameWhileSlotsRefill) {
  Negotiate(SPA_VIDEO_FORMAT_BGRx, 4, 4);
  CaptureFrame out{};
  for (uint8_t round = 0; round < 6; round++) {
    const std::vector<uint8_t> mine = Pattern(64, round);
    ASSERT_TRUE(PushCaptureFrame(&ctx->frameQueue, ctx->screenFds, "Meta-0", 4, 4, mine.data(), 64));
    ASSERT_TRUE(PopCaptureBuffer(&ctx->frameQueue, &out));
    ASSERT_EQ(out.captureBufferSize, 64u);
    EXPECT_EQ(out.capacity, 64u);
    for (uint8_t other = 0; other < 3; other++) {
      const std::vector<uint8_t> next = Pattern(64, static_cast<uint8_t>(100 + other));
      ASSERT_TRUE(
          PushCaptureFrame(&ctx->frameQueue, ctx->screenFds, "Meta-0", 4, 4, next.data(), 64));
    }
    EXPECT_EQ(0, memcmp(out.captureBuffer, mine.data(), 64)) << "round " << int{round};
    for (const FrameSlot &slot : ctx->frameQueue.slots) {
      EXPECT_NE(slot.frame.captureBuffer, out.captureBuffer);
    }
    for (int i = 0; i < 3; i++) {
      ASSERT_TRUE(PopCaptureBuffer(&ctx->frameQueue, &out));
      EXPECT_EQ(0, memcmp(out.captureBuffer, Pattern(64, static_cast<uint8_t>(100 + i)).data(), 64));
    }
  }
  Units(ctx->screenFds);
  ReleaseCaptureFrame(&out);
}

// Frame copies large enough to bypass the cache take an unaligned head and
// an odd tail separately: every byte must arrive and none beyond the end.
TEST(FrameBuffer, LargeCopiesAreExactAtAnyAlignment) {
  const size_t bytes = (size_t{16} << 20) + 37;
  std::vector<uint8_t> src(bytes + 8);
  for (size_t i = 0; i < src.size(); i++) src[i] = static_cast<uint8_t>(i * 7 + (i >> 12));
  for (size_t dstShift : {0, 3}) {
    uint8_t *dst = AllocFrameBuffer(static_cast<uint32_t>(bytes + 16));
    memset(dst, 0xEE, bytes + 16);
    CopyFrameBytes(dst + dstShift, src.data() + 5, bytes);
    EXPECT_EQ(0, memcmp(dst + dstShift, src.data() + 5, bytes)) << "shift " << dstShift;
    for (size_t i = 0; i < dstShift; i++) EXPECT_EQ(dst[i], 0xEE);
    for (size_t i = dstShift + bytes; i < bytes + 16; i++) EXPECT_EQ(dst[i], 0xEE);
    free(dst);
  }
}

TEST_F(CaptureUnit, CursorQueueKeepsRecordBufferAndDiscardsWithoutRecord) {
  StderrCapture log;
  std::vector<uint8_t> bitmap = Pattern(256, 9);
  CursorUpdate in{};
  strcpy(in.connector, "Meta-0");
  in.cursorId = 3;
  in.x = 5;
  in.y = -7;
  in.width = 8;
  in.height = 8;
  in.hotspotX = 1;
  in.hotspotY = 2;
  in.cursorBitmap = bitmap.data();
  in.cursorBitmapSize = 256;
  ASSERT_TRUE(PushCursorUpdate(&ctx->cursorQueue, ctx->cursorFds, &in));
  in.cursorBitmap = nullptr;
  in.cursorBitmapSize = 0;
  in.x = 6;
  ASSERT_TRUE(PushCursorUpdate(&ctx->cursorQueue, ctx->cursorFds, &in));
  ASSERT_TRUE(PushCursorUpdate(&ctx->cursorQueue, ctx->cursorFds, &in));
  EXPECT_FALSE(PushCursorUpdate(&ctx->cursorQueue, ctx->cursorFds, &in));
  EXPECT_TRUE(log.Contains("Dropping cursor for connector Meta-0 due to full queue\n"));

  CursorUpdate out{};
  ASSERT_TRUE(PopCursorBuffer(&ctx->cursorQueue, &out));
  EXPECT_EQ(out.cursorBitmapSize, 256u);
  EXPECT_EQ(0, memcmp(out.cursorBitmap, bitmap.data(), 256));
  EXPECT_EQ(out.y, -7);
  uint8_t *kept = out.cursorBitmap;
  ASSERT_TRUE(PopCursorBuffer(&ctx->cursorQueue, &out));
  EXPECT_EQ(out.cursorBitmapSize, 0u);
  EXPECT_EQ(out.cursorBitmap, kept);
  EXPECT_EQ(out.capacity, 256u);
  EXPECT_EQ(out.x, 6);
  EXPECT_TRUE(PopCursorBuffer(&ctx->cursorQueue, nullptr));
  EXPECT_FALSE(PopCursorBuffer(&ctx->cursorQueue, &out));
  EXPECT_TRUE(log.Contains("No cursor buffer available in queue\n"));
  ReleaseCursorUpdate(&out);
}

// Cursor metadata through the worker and the cursor queue, as the capture
// event thread sees it: a new shape is one whose pixels or hotspot differ.
// The compositor keeps one cursor id across shapes, and shapes such as two
// resize arrows share a hotspot; the second must still carry its bitmap.
TEST_F(CaptureUnit, CursorShapeIsNewWhenPixelsOrHotspotDiffer) {
  Negotiate(SPA_VIDEO_FORMAT_BGRx, 4, 4);
  CursorUpdate out{};
  auto sent = [&](uint8_t fill, int32_t hotX, int32_t hotY, uint32_t bitmapOffset) {
    CursorSpec c;
    c.fill = fill;
    c.hotX = hotX;
    c.hotY = hotY;
    c.bitmapOffset = bitmapOffset;
    SyntheticBuffer buf(64, 0, 0, 0);  // cursor-only buffer
    buf.AddCursor(c);
    ProcessBuffer(ctx, buf.get());
    EXPECT_TRUE(PopCursorBuffer(&ctx->cursorQueue, &out));
    return ctx->cursorShape.CursorShapeChanged(out);
  };
  const uint32_t withBitmap = sizeof(spa_meta_cursor);
  EXPECT_TRUE(sent(0x11, 3, 4, withBitmap));
  EXPECT_FALSE(sent(0x11, 3, 4, withBitmap));  // same shape, pointer moved
  EXPECT_TRUE(sent(0x22, 3, 4, withBitmap));   // new pixels, same hotspot
  EXPECT_FALSE(sent(0x22, 3, 4, withBitmap));
  EXPECT_TRUE(sent(0x22, 9, 4, withBitmap));   // same pixels, new hotspot
  EXPECT_TRUE(sent(0x11, 3, 4, withBitmap));   // back to the first shape
  EXPECT_FALSE(sent(0x33, 3, 4, 0));           // position only: tracker kept
  EXPECT_FALSE(sent(0x11, 3, 4, withBitmap));

  // A format change resets the tracker: the current shape is sent again,
  // whatever its hotspot.
  Negotiate(SPA_VIDEO_FORMAT_BGRx, 4, 4);
  EXPECT_TRUE(sent(0x11, 3, 4, withBitmap));
  Negotiate(SPA_VIDEO_FORMAT_BGRx, 4, 4);
  EXPECT_TRUE(sent(0x11, -1, -1, withBitmap));
  EXPECT_EQ(Units(ctx->cursorFds), 10);
  ReleaseCursorUpdate(&out);
}

TEST_F(CaptureUnit, PacksFramesAndDestripesRows) {
  Negotiate(SPA_VIDEO_FORMAT_BGRx, 5, 3);
  Units(ctx->screenFds);
  const uint32_t packed = 20;
  CaptureFrame out{};
  for (int32_t stride : {0, 20, 20 + 64}) {
    const uint32_t rowStride = stride > 0 ? stride : packed;
    SyntheticBuffer buf(rowStride * 3 + 8, 8, rowStride * 3, stride);
    ProcessBuffer(ctx, buf.get());
    ASSERT_TRUE(PopCaptureBuffer(&ctx->frameQueue, &out)) << "stride " << stride;
    ASSERT_EQ(out.captureBufferSize, packed * 3);
    for (uint32_t r = 0; r < 3; r++) {
      EXPECT_EQ(0, memcmp(out.captureBuffer + r * packed, buf.data().data() + 8 + r * rowStride,
                          packed))
          << "stride " << stride << " row " << r;
    }
  }
  // The last row need not be padded.
  SyntheticBuffer tight(84 * 2 + 20, 0, 84 * 2 + 20, 84);
  ProcessBuffer(ctx, tight.get());
  EXPECT_TRUE(PopCaptureBuffer(&ctx->frameQueue, &out));
  ReleaseCaptureFrame(&out);
}

TEST_F(CaptureUnit, MalformedBuffersAreDroppedWithTheirLines) {
  Negotiate(SPA_VIDEO_FORMAT_BGRx, 4, 4);
  Units(ctx->screenFds);
  StderrCapture log;
  CursorSpec cursor;

  {  // chunk outside the block: not even the cursor is used
    SyntheticBuffer buf(64, 60, 16, 16);
    buf.AddCursor(cursor);
    ProcessBuffer(ctx, buf.get());
    EXPECT_TRUE(log.Contains(
        "ProcessBuffer[Meta-0] chunk bounds check failed: offset=60 size=16 maxsize=64\n"));
  }
  {  // stride below width * 4: frame dropped, cursor still queued
    SyntheticBuffer buf(64, 0, 48, 12);
    buf.AddCursor(cursor);
    ProcessBuffer(ctx, buf.get());
    EXPECT_TRUE(log.Contains("ProcessBuffer[Meta-0]: invalid stride/dimensions (pwStride=12 "
                             "packedStride=16 w=4 h=4), dropping frame\n"));
  }
  {  // chunk shorter than its rows: nothing read past it
    SyntheticBuffer buf(40, 0, 40, 16);
    ProcessBuffer(ctx, buf.get());
    EXPECT_TRUE(log.Contains("ProcessBuffer[Meta-0]: frame data too short"));
  }
  {  // padded stride whose last row ends past the data block
    SyntheticBuffer buf(32 * 3 + 8, 0, 32 * 3 + 8, 32);
    ProcessBuffer(ctx, buf.get());
  }
  EXPECT_EQ(Units(ctx->screenFds), 0);
  EXPECT_EQ(Units(ctx->cursorFds), 1);
}

TEST_F(CaptureUnit, CursorMetadataChecks) {
  Negotiate(SPA_VIDEO_FORMAT_BGRx, 4, 4);
  StderrCapture log;
  CursorUpdate out{};
  auto run = [&](const CursorSpec &cursor) {
    SyntheticBuffer buf(64, 0, 0, 0);  // cursor-only buffer
    buf.AddCursor(cursor);
    ProcessBuffer(ctx, buf.get());
    return PopCursorBuffer(&ctx->cursorQueue, &out);
  };
  CursorSpec c;
  ASSERT_TRUE(run(c));
  EXPECT_EQ(out.cursorBitmapSize, 8u * 8 * 4);
  EXPECT_EQ(out.x, 10);
  EXPECT_EQ(out.hotspotY, 2);
  EXPECT_EQ(out.cursorBitmap[0], 0x5A);
  EXPECT_EQ(Units(ctx->screenFds), 0);

  CursorSpec idZero = c;
  idZero.id = 0;
  EXPECT_FALSE(run(idZero));

  CursorSpec big = c;  // the largest cursor, pixels from the header's start
  big.width = big.height = 384;
  big.pixelOffset = 0;
  big.metaSize = 589872;
  ASSERT_TRUE(run(big));
  EXPECT_EQ(out.cursorBitmapSize, 589824u);

  CursorSpec tooBig = big;
  tooBig.width = 385;
  ASSERT_TRUE(run(tooBig));
  EXPECT_EQ(out.cursorBitmapSize, 0u);
  EXPECT_EQ(out.width, 385u);
  EXPECT_TRUE(log.Contains("Sightwell: cursor packedBytes=591360 exceeds "
                           "MAX_CURSOR_BITMAP_SIZE=589824 (packedStride=1540 h=384); "
                           "ignoring bitmap\n"));

  CursorSpec farOffset = c;
  farOffset.width = farOffset.height = 64;
  farOffset.pixelOffset = 589824 - 16383;
  ASSERT_TRUE(run(farOffset));
  EXPECT_EQ(out.cursorBitmapSize, 0u);
  EXPECT_TRUE(log.Contains("Sightwell: cursor bitmap pixel data out of bounds (offset=573441 "
                           "packedBytes=16384 max=589824); ignoring bitmap\n"));

  CursorSpec pastEntry = c;  // under the size limit but beyond this entry
  pastEntry.width = pastEntry.height = 64;
  pastEntry.pixelOffset = 20 + 64;
  ASSERT_TRUE(run(pastEntry));
  EXPECT_EQ(out.cursorBitmapSize, 0u);
  EXPECT_EQ(out.hotspotX, 1);

  CursorSpec lowOffset = c;
  lowOffset.bitmapOffset = 12;
  ASSERT_TRUE(run(lowOffset));
  EXPECT_EQ(out.cursorBitmapSize, 0u);
  EXPECT_TRUE(log.Contains("Sightwell: cursor bitmap_offset 12 < sizeof(spa_meta_cursor) 28; "
                           "ignoring malformed cursor bitmap\n"));

  CursorSpec headerOutside = c;
  headerOutside.bitmapOffset = 40;
  headerOutside.metaSize = 48;
  ASSERT_TRUE(run(headerOutside));
  EXPECT_EQ(out.cursorBitmapSize, 0u);

  CursorSpec shortMeta = c;
  shortMeta.metaSize = 20;
  EXPECT_FALSE(run(shortMeta));
  ReleaseCursorUpdate(&out);
}

TEST_F(CaptureUnit, FormatChangeSizesSlotsAndRejectsOtherFormats) {
  StderrCapture log;
  Negotiate(SPA_VIDEO_FORMAT_BGRA, 8, 2);
  EXPECT_TRUE(log.Contains("on_param_changed[Meta-0] width: 8 height: 2 format: 12\n"));
  EXPECT_EQ(ctx->streamClosed.load(), 0u);
  EXPECT_EQ(ctx->frameQueue.slots[0].frame.capacity, 64u);
  EXPECT_EQ(ctx->cursorQueue.slots[3].update.capacity, MAX_CURSOR_BITMAP_SIZE);

  std::vector<uint8_t> pixels = Pattern(64, 0);
  PushCaptureFrame(&ctx->frameQueue, ctx->screenFds, "Meta-0", 8, 2, pixels.data(), 64);
  uint8_t *kept = ctx->frameQueue.slots[1].frame.captureBuffer;
  Negotiate(SPA_VIDEO_FORMAT_BGRA, 8, 2);  // same size: buffers kept
  EXPECT_EQ(ctx->frameQueue.slots[1].frame.captureBuffer, kept);
  Negotiate(SPA_VIDEO_FORMAT_RGBx, 4, 2);  // smaller: reallocated to fit
  EXPECT_EQ(ctx->frameQueue.slots[1].frame.capacity, 32u);
  EXPECT_EQ(ctx->scratchCapacity, 32u);

  // The frame that waited across the change pops with the new size, empty.
  CaptureFrame out{};
  ASSERT_TRUE(PopCaptureBuffer(&ctx->frameQueue, &out));
  EXPECT_EQ(out.width, 4u);
  EXPECT_EQ(out.captureBufferSize, 0u);
  EXPECT_EQ(out.captureBuffer, nullptr);
  EXPECT_EQ(updateParamsCalls.load(), setActiveCalls.load());

  Negotiate(SPA_VIDEO_FORMAT_RGB, 4, 2);
  EXPECT_TRUE(log.Contains("on_param_changed[Meta-0]: compositor selected unsupported format 15 "
                           "(not a 4-bpp packed format), ignoring\n"));
  EXPECT_EQ(ctx->streamClosed.exchange(0), 1u);

  Negotiate(SPA_VIDEO_FORMAT_BGRx, 65536, 65536);  // byte count beyond 32 bits
  EXPECT_EQ(ctx->streamClosed.exchange(0), 1u);
  EXPECT_EQ(ctx->width, 4u);
}

// A producer pushing and a consumer popping while format changes arrive on a
// third thread: the sanitizer builds catch any buffer used while resized.
TEST_F(CaptureUnit, ConcurrentPushPopAndFormatChange) {
  Negotiate(SPA_VIDEO_FORMAT_BGRx, 64, 64);
  std::atomic<bool> done{false};
  std::thread producer([&] {
    for (int i = 0; i < 400; i++) {
      SyntheticBuffer buf(64 * 64 * 4, 0, 64 * 64 * 4, 64 * 4 + (i % 2) * 0);
      buf.AddCursor(CursorSpec{});
      ProcessBuffer(ctx, buf.get());
    }
    done = true;
  });
  std::thread formats([&] {
    for (int i = 0; i < 40 && !done; i++) {
      Negotiate(SPA_VIDEO_FORMAT_BGRx, 64, (i % 2) ? 64 : 32);
      std::this_thread::yield();
    }
  });
  CaptureFrame frame{};
  CursorUpdate cursor{};
  uint64_t v;
  while (!done || read(ctx->screenFds, &v, sizeof v) == sizeof v) {
    if (read(ctx->screenFds, &v, sizeof v) == sizeof v) {
      ASSERT_TRUE(PopCaptureBuffer(&ctx->frameQueue, &frame));
      EXPECT_TRUE(frame.captureBufferSize == 0 ||
                  frame.captureBufferSize == frame.width * frame.height * 4);
    }
    if (read(ctx->cursorFds, &v, sizeof v) == sizeof v) {
      ASSERT_TRUE(PopCursorBuffer(&ctx->cursorQueue, &cursor));
    }
  }
  producer.join();
  formats.join();
  ReleaseCaptureFrame(&frame);
  ReleaseCursorUpdate(&cursor);
}


// PipeWire stand-in for the handoff tests: a pool of buffers that the
// process callback dequeues from and the worker returns to. A removed
// buffer is poisoned (its spa_buffer cleared) and must never come back.
struct BufferPool {
  static constexpr int kSize = 8;
  std::mutex lock;
  std::unique_ptr<SyntheticBuffer> buffers[kSize];
  bool out[kSize] = {};      // dequeued and not yet returned
  bool removed[kSize] = {};
  int nextToDequeue = -1;    // index handed out by the next dequeue, once
  int returned = 0;
  std::atomic<int> returnedRemoved{0};

  int IndexOf(pw_buffer *b) {
    for (int i = 0; i < kSize; i++) {
      if (buffers[i] && buffers[i]->get() == b) return i;
    }
    return -1;
  }
  void Refill(uint32_t bytes) {
    std::lock_guard<std::mutex> guard(lock);
    for (int i = 0; i < kSize; i++) {
      buffers[i] = std::make_unique<SyntheticBuffer>(bytes, 0, bytes, 0);
      out[i] = removed[i] = false;
    }
  }
};
BufferPool *pool = nullptr;

pw_buffer *PoolDequeue(pw_stream *) {
  std::lock_guard<std::mutex> guard(pool->lock);
  const int i = pool->nextToDequeue;
  pool->nextToDequeue = -1;
  if (i < 0) return nullptr;
  pool->out[i] = true;
  return pool->buffers[i]->get();
}

int PoolQueue(pw_stream *, pw_buffer *b) {
  std::lock_guard<std::mutex> guard(pool->lock);
  const int i = pool->IndexOf(b);
  if (i < 0 || pool->removed[i]) {
    pool->returnedRemoved++;
    return -1;
  }
  pool->out[i] = false;
  pool->returned++;
  return 0;
}

class HandoffUnit : public CaptureUnit {
 protected:
  void SetUp() override {
    CaptureUnit::SetUp();
    pool = &pool_;
    ctx->pwApi.pw_stream_dequeue_buffer = PoolDequeue;
    ctx->pwApi.pw_stream_queue_buffer = PoolQueue;
    ctx->handoffFd.store(eventfd(0, EFD_CLOEXEC));
    Negotiate(SPA_VIDEO_FORMAT_BGRx, 8, 2);
    Units(ctx->screenFds);
  }
  void TearDown() override {
    StopWorker();
    close(ctx->handoffFd.exchange(-1));
    pool = nullptr;
    CaptureUnit::TearDown();
  }
  void StartWorker() {
    ctx->workerStop.store(false);
    worker_ = std::thread([this] { ProcessWorker(ctx); });
  }
  void StopWorker() {
    if (!worker_.joinable()) return;
    ctx->workerStop.store(true);
    const uint64_t one = 1;
    ASSERT_EQ(write(ctx->handoffFd.load(), &one, sizeof one), 8);
    worker_.join();
  }
  // One process callback that finds pool buffer i ready.
  void Deliver(int i) {
    {
      std::lock_guard<std::mutex> guard(pool_.lock);
      pool_.nextToDequeue = i;
    }
    on_process(ctx);
  }
  // What PipeWire does when buffers go away: the event, then the buffer
  // becomes unusable.
  void Remove(int i) {
    pw_buffer *b = pool_.buffers[i]->get();
    on_remove_buffer(ctx, b);
    std::lock_guard<std::mutex> guard(pool_.lock);
    pool_.removed[i] = true;
    b->buffer = nullptr;
  }
  BufferPool pool_;
  std::thread worker_;
};

// Buffers removed while they wait in the handoff ring are skipped by the
// worker: neither processed nor returned. The others still go through.
TEST_F(HandoffUnit, RemovedBuffersLeaveTheRingUntouched) {
  pool_.Refill(8 * 2 * 4);
  for (int i : {0, 1, 2, 3}) Deliver(i);
  Remove(1);
  Remove(3);
  Remove(5);  // never handed off: nothing to drop
  StartWorker();
  ASSERT_TRUE([&] {
    for (int n = 0; n < 500; n++) {
      if (ctx->handoff.Empty()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
  }());
  StopWorker();
  EXPECT_EQ(pool_.returnedRemoved.load(), 0);
  EXPECT_EQ(pool_.returned, 2);
  EXPECT_EQ(Units(ctx->screenFds), 2);
}

// The worker processing while buffers are handed off and then removed
// wholesale, as a format change or a vanished node does: no removed buffer
// is ever read or returned (the sanitizer builds also see any late read).
TEST_F(HandoffUnit, RemovalWaitsForTheBufferInHand) {
  StderrCapture log;  // the frame queue may fill up; its warnings go here
  CaptureFrame frame{};
  StartWorker();
  for (int round = 0; round < 300; round++) {
    pool_.Refill(8 * 2 * 4);
    for (int i = 0; i < BufferPool::kSize; i++) {
      Deliver(i);
      if (i % 3 == 0) std::this_thread::yield();
    }
    for (int i = 0; i < BufferPool::kSize; i++) Remove(i);
    uint64_t unit;
    while (read(ctx->screenFds, &unit, sizeof unit) == sizeof unit) {
      ASSERT_TRUE(PopCaptureBuffer(&ctx->frameQueue, &frame));
    }
  }
  StopWorker();
  ReleaseCaptureFrame(&frame);
  EXPECT_EQ(pool_.returnedRemoved.load(), 0);
  EXPECT_GT(pool_.returned, 0);
}

}  // namespace
