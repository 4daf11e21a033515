// Feeds ProcessBuffer synthetic PipeWire buffers whose chunk, stride,
// negotiated size and cursor metadata come from the input: nothing may be
// read outside the data block or the metadata entry.
#include <spa/buffer/buffer.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "capture/screencast_internal.h"

namespace {

int NoUpdate(pw_stream *, const spa_pod **, uint32_t) { return 0; }
int NoActive(pw_stream *, bool) { return 0; }

struct Reader {
  const uint8_t *p;
  size_t left;
  template <typename T>
  T Take() {
    T v{};
    const size_t n = left < sizeof v ? left : sizeof v;
    memcpy(&v, p, n);
    p += n;
    left -= n;
    return v;
  }
};

ScreenCastContext *Context() {
  static ScreenCastContext *ctx = [] {
    ScreenCastContext *c = new ScreenCastContext();
    strcpy(c->connector, "fuzz");
    c->screenFds = eventfd(0, EFD_SEMAPHORE | EFD_NONBLOCK | EFD_CLOEXEC);
    c->cursorFds = eventfd(0, EFD_SEMAPHORE | EFD_NONBLOCK | EFD_CLOEXEC);
    c->pwApi.pw_stream_update_params = NoUpdate;
    c->pwApi.pw_stream_set_active = NoActive;
    return c;
  }();
  return ctx;
}

void Drain(ScreenCastContext *ctx) {
  uint64_t unit;
  CaptureFrame frame{};
  while (read(ctx->screenFds, &unit, sizeof unit) == sizeof unit) {
    PopCaptureBuffer(&ctx->frameQueue, &frame);
  }
  ReleaseCaptureFrame(&frame);
  while (read(ctx->cursorFds, &unit, sizeof unit) == sizeof unit) {
    PopCursorBuffer(&ctx->cursorQueue, nullptr);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  ScreenCastContext *ctx = Context();
  Reader in{data, size};
  const uint32_t width = in.Take<uint8_t>() % 64 + 1;
  const uint32_t height = in.Take<uint8_t>() % 64 + 1;
  {
    uint8_t podBuffer[512];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(podBuffer, sizeof podBuffer);
    spa_video_info_raw info{};
    info.format = SPA_VIDEO_FORMAT_BGRx;
    info.size = SPA_RECTANGLE(width, height);
    on_param_changed(ctx, SPA_PARAM_Format,
                     spa_format_video_raw_build(&b, SPA_PARAM_Format, &info));
  }
  const uint32_t maxsize = in.Take<uint16_t>() % 20000;
  spa_chunk chunk{};
  chunk.offset = in.Take<uint16_t>();
  chunk.size = in.Take<uint16_t>();
  chunk.stride = in.Take<int16_t>();
  const uint32_t metaSize = in.Take<uint16_t>() % 4096;

  // Exactly sized heap blocks, so a sanitizer sees any overrun.
  std::vector<uint8_t> block(maxsize);
  std::vector<uint8_t> meta(metaSize);
  const size_t metaBytes = in.left < metaSize ? in.left : metaSize;
  if (metaBytes > 0) memcpy(meta.data(), in.p, metaBytes);

  spa_data d{};
  d.type = SPA_DATA_MemFd;
  d.maxsize = maxsize;
  d.data = block.empty() ? nullptr : block.data();
  d.chunk = &chunk;
  spa_meta m{};
  m.type = SPA_META_Cursor;
  m.size = metaSize;
  m.data = meta.empty() ? nullptr : meta.data();
  spa_buffer buffer{};
  buffer.n_datas = 1;
  buffer.datas = &d;
  buffer.n_metas = metaSize > 0 ? 1 : 0;
  buffer.metas = &m;
  pw_buffer pw{};
  pw.buffer = &buffer;

  ProcessBuffer(ctx, &pw);
  Drain(ctx);
  return 0;
}
