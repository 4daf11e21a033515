// The fake compositor's PipeWire video source: a driver node that allocates
// its own memfd buffers, paints the test scene and attaches cursor metadata.
#include "tools/fake-compositor/screencast_source.h"

#include <fcntl.h>
#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "tools/fake-compositor/screencast_scene.h"
#include "tools/sightwell-parent/frame_stamp.h"

namespace fakesc {

namespace {

pw_thread_loop *gLoop = nullptr;
pw_context *gContext = nullptr;
pw_core *gCore = nullptr;
spa_hook gCoreListener{};
std::function<void()> gLostHandler;
bool gLostReported = false;  // PipeWire thread only

void OnCoreError(void *, uint32_t id, int, int res, const char *) {
  if (id == PW_ID_CORE && res == -EPIPE && !gLostReported) {
    gLostReported = true;
    if (gLostHandler) gLostHandler();
  }
}

const pw_core_events kCoreEvents = [] {
  pw_core_events e{};
  e.version = PW_VERSION_CORE_EVENTS;
  e.error = OnCoreError;
  return e;
}();

// Metadata room for a 64 x 64 cursor: header, bitmap header, pixels.
constexpr uint32_t kCursorMetaSize = sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap) + 64 * 64 * 4;
// GNOME Mutter's fixed cursor metadata size (room for a 384 x 384 bitmap).
constexpr uint32_t kMutterCursorMetaSize = 589872;

uint64_t MonotonicNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

}  // namespace

Faults &SourceFaults() {
  static Faults faults;
  return faults;
}

bool EnsurePipeWire() {
  if (gCore != nullptr) {
    return true;
  }
  pw_init(nullptr, nullptr);
  gLoop = pw_thread_loop_new("fake-compositor-pw", nullptr);
  if (gLoop == nullptr) {
    return false;
  }
  gContext = pw_context_new(pw_thread_loop_get_loop(gLoop), nullptr, 0);
  if (gContext != nullptr) {
    gCore = pw_context_connect(gContext, nullptr, 0);
  }
  if (gCore == nullptr) {
    fprintf(stderr, "fake-compositor: cannot connect to PipeWire\n");
    if (gContext != nullptr) {
      pw_context_destroy(gContext);
      gContext = nullptr;
    }
    pw_thread_loop_destroy(gLoop);
    gLoop = nullptr;
    return false;
  }
  gCoreListener = spa_hook{};
  gLostReported = false;
  pw_core_add_listener(gCore, &gCoreListener, &kCoreEvents, nullptr);
  pw_thread_loop_start(gLoop);
  return true;
}

void SetPipeWireLostHandler(std::function<void()> handler) { gLostHandler = std::move(handler); }

void ShutdownPipeWire() {
  if (gLoop == nullptr) {
    return;
  }
  pw_thread_loop_stop(gLoop);
  if (gCore != nullptr) {
    pw_core_disconnect(gCore);
  }
  if (gContext != nullptr) {
    pw_context_destroy(gContext);
  }
  pw_thread_loop_destroy(gLoop);
  gLoop = nullptr;
  gContext = nullptr;
  gCore = nullptr;
}

struct VideoSource::Impl {
  SourceOptions options;
  std::function<void(uint32_t)> onNodeId;
  std::function<void(uint32_t)> onFrame;
  pw_stream *stream = nullptr;
  spa_hook listener{};
  spa_source *timer = nullptr;
  // On a screen drawn only on change, repeats graph cycles (without drawing)
  // until the consumer has taken the last frame; see OnDeliveryCheck.
  spa_source *deliveryTimer = nullptr;
  uint32_t deliveryChecks = 0;
  uint32_t bufferCount = 0;
  bool nodeIdSent = false;
  bool streaming = false;
  // Negotiated geometry.
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t stride = 0;
  uint32_t counter = 0;
  bool pendingDamage = false;
  uint32_t lastCursorShape = UINT32_MAX;  // the shape whose bitmap went out last
  std::vector<std::vector<uint8_t>> rowPatterns;  // 256 rows, one per (y + n) & 0xFF

  const spa_pod *BuildFormat(spa_pod_builder *b, uint32_t w, uint32_t h) const {
    spa_rectangle size = SPA_RECTANGLE(w, h);
    spa_fraction rate = SPA_FRACTION(0, 1);
    const uint32_t maxFps = options.fps > 0 ? options.fps : 60;
    spa_fraction maxRate = SPA_FRACTION(maxFps, 1);
    spa_fraction minRate = SPA_FRACTION(1, 1);
    spa_pod_frame f;
    spa_pod_builder_push_object(b, &f, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
    spa_pod_builder_add(b, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
                        SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), 0);
    if (options.likeMutter) {
      spa_pod_builder_add(b, SPA_FORMAT_VIDEO_format,
                          SPA_POD_CHOICE_ENUM_Id(3, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx,
                                                 SPA_VIDEO_FORMAT_BGRA),
                          0);
    } else if (options.format != 0) {
      spa_pod_builder_add(b, SPA_FORMAT_VIDEO_format, SPA_POD_Id(options.format), 0);
    }
    spa_pod_builder_add(b, SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size),
                        SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&rate),
                        SPA_FORMAT_VIDEO_maxFramerate,
                        SPA_POD_CHOICE_RANGE_Fraction(&maxRate, &minRate, &maxRate), 0);
    return static_cast<const spa_pod *>(spa_pod_builder_pop(b, &f));
  }

  void BuildRowPatterns() {
    rowPatterns.assign(256, std::vector<uint8_t>(static_cast<size_t>(width) * 4));
    for (uint32_t k = 0; k < 256; k++) {
      auto *row = reinterpret_cast<uint32_t *>(rowPatterns[k].data());
      for (uint32_t x = 0; x < width; x++) {
        row[x] = fakescene::Pixel(x, k, 0);
      }
    }
  }

  void ArmTimer() {
    pw_loop *loop = pw_thread_loop_get_loop(gLoop);
    if (timer == nullptr) {
      return;
    }
    if (!streaming || options.fps == 0) {
      timespec zero{0, 0};
      pw_loop_update_timer(loop, timer, &zero, &zero, false);
      return;
    }
    timespec interval{0, static_cast<long>(1000000000ull / options.fps)};
    if (options.fps == 1) {
      interval = {1, 0};
    }
    pw_loop_update_timer(loop, timer, &interval, &interval, false);
  }

  void ArmDeliveryCheck(bool on) {
    if (deliveryTimer == nullptr) {
      return;
    }
    // Every 50 ms for at most 5 s: a consumer that has not linked by then is
    // not coming.
    timespec interval{0, on ? 50000000L : 0L};
    deliveryChecks = on ? 100 : 0;
    pw_loop_update_timer(pw_thread_loop_get_loop(gLoop), deliveryTimer, &interval, &interval,
                         false);
  }

  // Both ends of the link are started independently, so this driver may run
  // its first cycle before the consumer's node has joined the graph. The
  // frame then waits in the port for a cycle that, on a static screen, never
  // comes (measured: one session in eight never got its only frame). So that
  // a consumer that links late still gets the current frame, run cycles
  // without drawing until every buffer is back.
  // A consumer's buffer is recycled only on the cycle after it was read, so
  // one cycle beyond the delivery is run as well.
  static void OnDeliveryCheck(void *data, uint64_t) {
    auto *self = static_cast<Impl *>(data);
    pw_time time{};
    const bool settled =
        !self->streaming ||
        (pw_stream_get_time_n(self->stream, &time, sizeof time) == 0 &&
         time.avail_buffers >= self->bufferCount) ||
        self->deliveryChecks == 0;
    if (settled) {
      self->ArmDeliveryCheck(false);
      return;
    }
    self->deliveryChecks--;
    if (!SourceFaults().stopProducing.load()) {
      pw_stream_trigger_process(self->stream);
    }
  }

  static void OnTimer(void *data, uint64_t) {
    auto *self = static_cast<Impl *>(data);
    if (self->streaming && !SourceFaults().stopProducing.load()) {
      pw_stream_trigger_process(self->stream);
    }
  }

  static void OnStateChanged(void *data, pw_stream_state, pw_stream_state state, const char *) {
    auto *self = static_cast<Impl *>(data);
    if (!self->nodeIdSent && state >= PW_STREAM_STATE_PAUSED) {
      uint32_t id = pw_stream_get_node_id(self->stream);
      if (id != SPA_ID_INVALID) {
        self->nodeIdSent = true;
        self->onNodeId(id);
      }
    }
    self->streaming = state == PW_STREAM_STATE_STREAMING;
    self->ArmTimer();
    if (self->streaming && self->options.fps == 0) {
      self->pendingDamage = true;
      pw_stream_trigger_process(self->stream);
      self->ArmDeliveryCheck(true);
    }
  }

  static void OnParamChanged(void *data, uint32_t id, const spa_pod *param) {
    auto *self = static_cast<Impl *>(data);
    if (param == nullptr || id != SPA_PARAM_Format) {
      return;
    }
    spa_video_info_raw info{};
    if (spa_format_video_raw_parse(param, &info) < 0) {
      return;
    }
    self->width = info.size.width;
    self->height = info.size.height;
    self->stride = self->width * 4 + self->options.stridePad;
    self->BuildRowPatterns();

    uint8_t buffer[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    // Without ALLOC_BUFFERS PipeWire allocates the memory itself and the
    // consumer sees MemPtr blocks; the announced type stays MemFd either way.
    const uint32_t dataType = 1u << SPA_DATA_MemFd;
    const spa_pod *params[2];
    params[0] = static_cast<const spa_pod *>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers,
        SPA_PARAM_BUFFERS_buffers, SPA_POD_CHOICE_RANGE_Int(8, 2, 16),
        SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1),
        SPA_PARAM_BUFFERS_size, SPA_POD_Int(self->stride * self->height),
        SPA_PARAM_BUFFERS_stride, SPA_POD_Int(self->stride),
        SPA_PARAM_BUFFERS_dataType, SPA_POD_CHOICE_FLAGS_Int(dataType)));
    params[1] = static_cast<const spa_pod *>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta,
        SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Cursor),
        SPA_PARAM_META_size,
        SPA_POD_Int(self->options.likeMutter ? kMutterCursorMetaSize : kCursorMetaSize)));
    pw_stream_update_params(self->stream, params, self->options.cursor ? 2 : 1);
    if (self->options.fps == 0) {
      self->pendingDamage = true;
    }
  }

  static void OnAddBuffer(void *data, pw_buffer *buffer) {
    auto *self = static_cast<Impl *>(data);
    self->bufferCount++;
    if (self->options.memPtr) {
      return;  // PipeWire allocates
    }
    spa_data *d = &buffer->buffer->datas[0];
    if ((d->type & (1u << SPA_DATA_MemFd)) == 0) {
      return;
    }
    const uint32_t size = self->stride * self->height;
    int fd = memfd_create("fake-compositor-frame", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0) {
      return;
    }
    if (ftruncate(fd, size) < 0) {
      close(fd);
      return;
    }
    fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL);
    void *map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
      close(fd);
      return;
    }
    d->type = SPA_DATA_MemFd;
    d->flags = SPA_DATA_FLAG_READWRITE;
    d->fd = fd;
    d->mapoffset = 0;
    d->maxsize = size;
    d->data = map;
  }

  static void OnRemoveBuffer(void *data, pw_buffer *buffer) {
    auto *self = static_cast<Impl *>(data);
    self->bufferCount--;
    if (self->options.memPtr) {
      return;
    }
    spa_data *d = &buffer->buffer->datas[0];
    if (d->type == SPA_DATA_MemFd && d->data != nullptr) {
      munmap(d->data, d->maxsize);
      close(static_cast<int>(d->fd));
      d->data = nullptr;
    }
  }

  void FillCursor(spa_buffer *buf, uint32_t n) {
    spa_meta *meta = spa_buffer_find_meta(buf, SPA_META_Cursor);
    if (meta == nullptr || meta->size < sizeof(spa_meta_cursor)) {
      return;
    }
    auto *cursor = static_cast<spa_meta_cursor *>(meta->data);
    const uint32_t shape = (n / (options.shapePeriod > 0 ? options.shapePeriod : 1)) %
                           fakescene::kCursorShapeCount;
    const fakescene::CursorShape &s = fakescene::kCursorShapes[shape];
    cursor->id = options.likeMutter ? 1 : shape + 1;
    cursor->flags = 0;
    cursor->position.x = fakescene::CursorX(n, width);
    cursor->position.y = fakescene::CursorY(n, height);
    cursor->hotspot.x = s.hotspotX;
    cursor->hotspot.y = s.hotspotY;
    cursor->bitmap_offset = 0;
    if (options.likeMutter) {
      // The bitmap travels only in the buffer where the shape changes.
      if (shape == lastCursorShape) {
        return;
      }
      lastCursorShape = shape;
    }
    const uint32_t bytes = s.width * s.height * 4;
    if (meta->size < sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap) + bytes) {
      return;
    }
    cursor->bitmap_offset = sizeof(spa_meta_cursor);
    auto *bitmap = reinterpret_cast<spa_meta_bitmap *>(static_cast<uint8_t *>(meta->data) +
                                                       cursor->bitmap_offset);
    bitmap->format = SPA_VIDEO_FORMAT_RGBA;
    bitmap->size.width = s.width;
    bitmap->size.height = s.height;
    bitmap->stride = static_cast<int32_t>(s.width * 4);
    if (SourceFaults().cursorOutOfBounds.load()) {
      // Pixels that would run 64 bytes past the end of the metadata entry.
      const uint32_t room = meta->size - sizeof(spa_meta_cursor);
      bitmap->offset = room - bytes + 64;
      return;
    }
    bitmap->offset = sizeof(spa_meta_bitmap);
    uint8_t *pixels = reinterpret_cast<uint8_t *>(bitmap) + bitmap->offset;
    for (uint32_t i = 0; i < bytes; i++) {
      pixels[i] = fakescene::CursorByte(shape, i);
    }
  }

  static void OnProcess(void *data) {
    auto *self = static_cast<Impl *>(data);
    // A screen drawn only on change draws only when something changed; the
    // delivery check's cycles draw nothing.
    if (self->options.fps == 0) {
      if (!self->pendingDamage) {
        return;
      }
      self->pendingDamage = false;
    }
    pw_buffer *b = pw_stream_dequeue_buffer(self->stream);
    if (b == nullptr) {
      return;
    }
    spa_buffer *buf = b->buffer;
    spa_data *d = &buf->datas[0];
    if (d->data == nullptr || d->chunk == nullptr || self->width == 0) {
      pw_stream_queue_buffer(self->stream, b);
      return;
    }
    const uint32_t n = self->counter++;
    const uint32_t every = self->options.cursorOnlyEvery;
    const bool cursorOnly = every > 0 && n % every == every - 1;
    const Faults &faults = SourceFaults();

    if (!cursorOnly) {
      auto *base = static_cast<uint8_t *>(d->data);
      const size_t rowBytes = static_cast<size_t>(self->width) * 4;
      for (uint32_t y = 0; y < self->height; y++) {
        memcpy(base + static_cast<size_t>(y) * self->stride,
               self->rowPatterns[(y + n) & 0xFF].data(), rowBytes);
      }
      swstamp::Write(base, n, MonotonicNs());
    }
    d->chunk->offset = 0;
    d->chunk->stride = static_cast<int32_t>(self->stride);
    d->chunk->size = cursorOnly ? 0 : self->stride * self->height;
    d->chunk->flags = cursorOnly ? SPA_CHUNK_FLAG_CORRUPTED : 0;
    if (!cursorOnly) {
      if (faults.shortStride.load()) {
        d->chunk->stride = static_cast<int32_t>(self->width * 4 - 4);
      }
      if (faults.shortChunk.load()) {
        d->chunk->size = self->stride * (self->height - 1);
      }
      if (faults.chunkOutOfBounds.load()) {
        d->chunk->offset = d->maxsize - 16;
        d->chunk->size = 4096;
      }
    }
    if (self->options.cursor) {
      self->FillCursor(buf, n);
    }
    pw_stream_queue_buffer(self->stream, b);
    self->onFrame(n);
  }
};

namespace {

const pw_stream_events kSourceEvents = [] {
  pw_stream_events e{};
  e.version = PW_VERSION_STREAM_EVENTS;
  e.state_changed = VideoSource::Impl::OnStateChanged;
  e.param_changed = VideoSource::Impl::OnParamChanged;
  e.add_buffer = VideoSource::Impl::OnAddBuffer;
  e.remove_buffer = VideoSource::Impl::OnRemoveBuffer;
  e.process = VideoSource::Impl::OnProcess;
  return e;
}();

}  // namespace

VideoSource::VideoSource(const SourceOptions &options, std::function<void(uint32_t)> onNodeId,
                         std::function<void(uint32_t)> onFrame) {
  if (!EnsurePipeWire()) {
    return;
  }
  impl_ = new Impl();
  impl_->options = options;
  impl_->onNodeId = std::move(onNodeId);
  impl_->onFrame = std::move(onFrame);

  pw_thread_loop_lock(gLoop);
  static std::atomic<uint32_t> serial{0};
  char name[64];
  snprintf(name, sizeof name, "fake-compositor-screencast-%u", serial.fetch_add(1) + 1);
  pw_properties *props = pw_properties_new(PW_KEY_MEDIA_CLASS, "Video/Source", PW_KEY_NODE_NAME,
                                           name, PW_KEY_MEDIA_TYPE, "Video", nullptr);
  impl_->stream = pw_stream_new(gCore, name, props);
  if (impl_->stream != nullptr) {
    pw_stream_add_listener(impl_->stream, &impl_->listener, &kSourceEvents, impl_);
    impl_->timer = pw_loop_add_timer(pw_thread_loop_get_loop(gLoop), Impl::OnTimer, impl_);
    impl_->deliveryTimer =
        pw_loop_add_timer(pw_thread_loop_get_loop(gLoop), Impl::OnDeliveryCheck, impl_);
    uint8_t buffer[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const spa_pod *format = impl_->BuildFormat(&b, options.width, options.height);
    uint32_t flags = PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS;
    if (!options.memPtr) {
      flags |= PW_STREAM_FLAG_ALLOC_BUFFERS;
    }
    if (pw_stream_connect(impl_->stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                          static_cast<pw_stream_flags>(flags), &format, 1) < 0) {
      pw_stream_destroy(impl_->stream);
      impl_->stream = nullptr;
    }
  }
  stream_ = impl_->stream;
  pw_thread_loop_unlock(gLoop);
}

VideoSource::~VideoSource() {
  if (impl_ == nullptr) {
    return;
  }
  pw_thread_loop_lock(gLoop);
  if (impl_->timer != nullptr) {
    pw_loop_destroy_source(pw_thread_loop_get_loop(gLoop), impl_->timer);
  }
  if (impl_->deliveryTimer != nullptr) {
    pw_loop_destroy_source(pw_thread_loop_get_loop(gLoop), impl_->deliveryTimer);
  }
  if (impl_->stream != nullptr) {
    pw_stream_destroy(impl_->stream);
  }
  pw_thread_loop_unlock(gLoop);
  delete impl_;
}

void VideoSource::Resize(uint32_t width, uint32_t height) {
  if (impl_ == nullptr || impl_->stream == nullptr) {
    return;
  }
  pw_thread_loop_lock(gLoop);
  uint8_t buffer[1024];
  spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
  const spa_pod *format = impl_->BuildFormat(&b, width, height);
  pw_stream_update_params(impl_->stream, &format, 1);
  pw_thread_loop_unlock(gLoop);
}

void VideoSource::Damage() {
  if (impl_ == nullptr || impl_->stream == nullptr) {
    return;
  }
  pw_thread_loop_lock(gLoop);
  if (impl_->streaming) {
    impl_->pendingDamage = true;
    pw_stream_trigger_process(impl_->stream);
  }
  pw_thread_loop_unlock(gLoop);
}

}  // namespace fakesc
