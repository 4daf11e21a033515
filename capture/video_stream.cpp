// The PipeWire video stream of one attempt: the parameters offered to the
// compositor's node and the state and format callbacks.
#include <spa/param/format-utils.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include <cstdlib>
#include <cstring>

#include "capture/frame_buffer.h"
#include "capture/screencast_internal.h"
#include "lib/log/log.h"

namespace {

// Cursor metadata header (28) + bitmap header (20) + 4 bytes per pixel for a
// 64 x 64 (default), 1 x 1 (minimum) and 384 x 384 (maximum) cursor.
constexpr int32_t kCursorMetaDefault = 28 + 20 + 64 * 64 * 4;
constexpr int32_t kCursorMetaMin = 28 + 20 + 1 * 1 * 4;
constexpr int32_t kCursorMetaMax = 28 + 20 + 384 * 384 * 4;
static_assert(kCursorMetaDefault == 16432 && kCursorMetaMin == 52 && kCursorMetaMax == 589872);
static_assert(sizeof(spa_meta_cursor) == 28 && sizeof(spa_meta_bitmap) == 20);

bool IsPacked4Bpp(uint32_t format) {
  return format == SPA_VIDEO_FORMAT_RGBx || format == SPA_VIDEO_FORMAT_BGRx ||
         format == SPA_VIDEO_FORMAT_RGBA || format == SPA_VIDEO_FORMAT_BGRA;
}

static_assert(SPA_VIDEO_FORMAT_RGBx == 7 && SPA_VIDEO_FORMAT_BGRx == 8 &&
              SPA_VIDEO_FORMAT_RGBA == 11 && SPA_VIDEO_FORMAT_BGRA == 12);

}  // namespace

const spa_pod *BuildVideoFormatParam(spa_pod_builder *builder) {
  spa_rectangle defSize = SPA_RECTANGLE(320, 240);
  spa_rectangle minSize = SPA_RECTANGLE(1, 1);
  spa_rectangle maxSize = SPA_RECTANGLE(4096, 4096);
  spa_fraction defRate = SPA_FRACTION(25, 1);
  spa_fraction minRate = SPA_FRACTION(0, 1);
  spa_fraction maxRate = SPA_FRACTION(1000, 1);
  return static_cast<const spa_pod *>(spa_pod_builder_add_object(
      builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat,
      SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
      SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
      SPA_FORMAT_VIDEO_format,
      SPA_POD_CHOICE_ENUM_Id(4, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx,
                             SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA),
      SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&defSize, &minSize, &maxSize),
      SPA_FORMAT_VIDEO_framerate, SPA_POD_CHOICE_RANGE_Fraction(&defRate, &minRate, &maxRate)));
}

void BuildBufferParams(spa_pod_builder *builder, const spa_pod *params[2]) {
  params[0] = static_cast<const spa_pod *>(spa_pod_builder_add_object(
      builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers,
      SPA_PARAM_BUFFERS_buffers, SPA_POD_CHOICE_RANGE_Int(8, 1, 32),
      SPA_PARAM_BUFFERS_dataType, SPA_POD_CHOICE_FLAGS_Int(1 << SPA_DATA_MemFd)));
  params[1] = static_cast<const spa_pod *>(spa_pod_builder_add_object(
      builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta,
      SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Cursor),
      SPA_PARAM_META_size,
      SPA_POD_CHOICE_RANGE_Int(kCursorMetaDefault, kCursorMetaMin, kCursorMetaMax)));
}

void on_state_changed(void *data, pw_stream_state old, pw_stream_state state,
                      const char *error) {
  auto *ctx = static_cast<ScreenCastContext *>(data);
  const PipeWireApi &pw = ctx->pwApi;
  Log_Info("stream state[%s]: %s -> %s (%s)\n", ctx->connector, pw.pw_stream_state_as_string(old),
           pw.pw_stream_state_as_string(state), error != nullptr ? error : "ok");
  ctx->streaming.store(state == PW_STREAM_STATE_STREAMING, std::memory_order_release);
  // The poll loop keeps the time the stream has been without a producer.
  WakeAttempt(ctx);
  switch (state) {
    case PW_STREAM_STATE_STREAMING:
      Log_Info("[%s] stream reached STREAMING state \u2014 on_process callbacks active\n",
               ctx->connector);
      break;
    case PW_STREAM_STATE_ERROR:
      Log_Error("[%s] stream entered ERROR state: %s\n", ctx->connector,
                error != nullptr ? error : "<no error string>");
      CloseAttempt(ctx);
      break;
    case PW_STREAM_STATE_UNCONNECTED:
      Log_Error("[%s] stream entered UNCONNECTED state \u2014 stream was closed\n", ctx->connector);
      CloseAttempt(ctx);
      break;
    default:
      break;
  }
}

void on_param_changed(void *data, uint32_t id, const spa_pod *param) {
  auto *ctx = static_cast<ScreenCastContext *>(data);
  if (param == nullptr || id != SPA_PARAM_Format) {
    return;
  }
  spa_video_info_raw info{};
  int ret = spa_format_video_raw_parse(param, &info);
  if (ret < 0) {
    Log_Error("on_param_changed[%s]: spa_format_video_raw_parse failed (ret=%d), ignoring\n",
              ctx->connector, ret);
    CloseAttempt(ctx);
    return;
  }
  if (!IsPacked4Bpp(info.format)) {
    Log_Error("on_param_changed[%s]: compositor selected unsupported format %u "
              "(not a 4-bpp packed format), ignoring\n",
              ctx->connector, info.format);
    CloseAttempt(ctx);
    return;
  }
  const uint32_t width = info.size.width;
  const uint32_t height = info.size.height;
  // Frame sizes are 32-bit throughout; a size whose byte count does not fit
  // (or is empty) would make every later copy wrap around.
  const uint64_t needed64 = uint64_t{width} * height * 4;
  if (needed64 == 0 || needed64 > UINT32_MAX) {
    Log_Error("on_param_changed[%s]: unusable frame size %ux%u, ignoring\n", ctx->connector,
              width, height);
    CloseAttempt(ctx);
    return;
  }
  const uint32_t needed = static_cast<uint32_t>(needed64);

  {
    // The worker holds formatLock for a whole buffer and each slot's lock for
    // one copy; the consumer holds a slot's lock while it copies out. Taking
    // them here means no buffer is resized under anyone's copy.
    std::lock_guard<std::mutex> format(ctx->formatLock);
    ctx->width = width;
    ctx->height = height;
    ctx->packedStride = width * 4;
    Log_Info("on_param_changed[%s] width: %u height: %u format: %u\n", ctx->connector, width,
             height, info.format);
    ResizeFrameQueue(&ctx->frameQueue, width, height, needed);
    SizeFrameBufferExactly(&ctx->scratchBuffer, &ctx->scratchCapacity, needed);
    ReserveCursorBitmaps(&ctx->cursorQueue);
  }

  uint8_t buffer[1024];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
  const spa_pod *params[2];
  BuildBufferParams(&builder, params);
  ctx->pwApi.pw_stream_update_params(ctx->stream.get(), params, 2);
  ctx->pwApi.pw_stream_set_active(ctx->stream.get(), true);
  ctx->cursorShape.Reset();
}
