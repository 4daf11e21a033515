// PipeWire stream events of the audio back end. process runs on PipeWire's
// real-time data thread: no logging and no allocation once the copy buffer
// has reached the buffer size.
#include <cstdlib>
#include <cstring>

#include <spa/buffer/buffer.h>
#include <spa/param/audio/format-utils.h>
#include <spa/param/param.h>

#include "lib/log/log.h"
#include "lib/sig/panic.h"
#include "lib/soundlib/sound_pipewire.h"

namespace {

bool IsRecording(uint32_t mode) {
  return mode == SOUND_STREAM_MODE_RECORD || mode == SOUND_STREAM_MODE_RECORD_MONITOR;
}

void DeliverRecorded(PipewireSoundStream *s, spa_data *d) {
  // The chunk is written by the peer; never trust it beyond the mapping.
  const uint32_t maxSize = d->maxsize;
  const uint32_t offset = SPA_MIN(d->chunk->offset, maxSize);
  const uint32_t size = SPA_MIN(d->chunk->size, maxSize - offset);
  if (size == 0) {
    return;
  }
  if (s->copyCapacity < size) {
    void *grown = realloc(s->copyBuffer, size);
    if (grown == nullptr) {
      Panic_MemAllocFailure(__FILE__, __LINE__);
    }
    s->copyBuffer = static_cast<uint8_t *>(grown);
    s->copyCapacity = size;
  }
  memcpy(s->copyBuffer, static_cast<const uint8_t *>(d->data) + offset, size);
  SoundBuffer buf{s->copyBuffer, size};
  if (s->callback != nullptr) {
    s->callback(SOUND_EVENT_DATA, &buf, sizeof buf, s->clientData);
  }
  d->chunk->offset = 0;
  d->chunk->size = 0;
}

void FillPlayback(PipewireSoundStream *s, pw_buffer *b, spa_data *d) {
  const uint64_t frameSize =
      static_cast<uint64_t>(s->params.numChannels) * s->params.containerSize / 8;
  if (frameSize == 0) {
    return;
  }
  uint64_t offered = d->maxsize;
  if (b->requested != 0 && b->requested < d->maxsize / frameSize) {
    offered = b->requested * frameSize;
  }
  SoundBuffer buf{d->data, offered};
  if (s->callback != nullptr) {
    s->callback(SOUND_EVENT_DATA, &buf, sizeof buf, s->clientData);
  }
  // The client may shorten the block, never lengthen it.
  const uint64_t filled = SPA_MIN(buf.size, offered);
  d->chunk->offset = 0;
  d->chunk->stride = static_cast<int32_t>(frameSize);
  d->chunk->size = static_cast<uint32_t>(filled);
  b->size = filled / frameSize;
}

}  // namespace

void SoundPipewireProcessCB(void *data) {
  PipewireSoundStream *s = static_cast<PipewireSoundStream *>(data);
  if (s->stream == nullptr) {
    return;
  }
  const PipeWireAudioApi *api = s->pwBackend->api;
  pw_buffer *b = api->pw_stream_dequeue_buffer(s->stream);
  if (b == nullptr) {
    return;
  }
  spa_buffer *buf = b->buffer;
  spa_data *d = (buf != nullptr && buf->n_datas > 0) ? &buf->datas[0] : nullptr;
  if (d != nullptr && d->data != nullptr && d->chunk != nullptr) {
    if (IsRecording(s->params.mode)) {
      DeliverRecorded(s, d);
    } else {
      FillPlayback(s, b, d);
    }
  }
  api->pw_stream_queue_buffer(s->stream, b);
}

void SoundPipewireStreamStateCB(void *data, pw_stream_state old, pw_stream_state state,
                                const char *error) {
  PipewireSoundStream *s = static_cast<PipewireSoundStream *>(data);
  const PipeWireAudioApi *api = s->pwBackend->api;
  Log_Warning("SOUNDLIB: PipeWire stream state: %s -> %s (%s)\n",
              api->pw_stream_state_as_string(old), api->pw_stream_state_as_string(state),
              error != nullptr ? error : "");
  if (state == PW_STREAM_STATE_ERROR) {
    Log_Warning("SOUNDLIB: PipeWire stream transitioned to error: %s\n",
                error != nullptr ? error : "unknown");
    SoundLib_ReportStreamError(s);
  } else if (state == PW_STREAM_STATE_UNCONNECTED && old != PW_STREAM_STATE_UNCONNECTED) {
    // The daemon dropped the connection (it ended or restarted): the stream
    // will never deliver again, which the client must hear as it hears an
    // error. The back end's own disconnect removes this listener first, so
    // it never gets here.
    Log_Warning("SOUNDLIB: PipeWire stream lost its connection: %s\n",
                error != nullptr ? error : "unknown");
    SoundLib_ReportStreamError(s);
  }
}

void SoundPipewireParamChangedCB(void *data, uint32_t id, const spa_pod *param) {
  if (id != SPA_PARAM_Format || param == nullptr) {
    return;
  }
  PipewireSoundStream *s = static_cast<PipewireSoundStream *>(data);
  spa_audio_info_raw info{};
  if (spa_format_audio_raw_parse(param, &info) >= 0) {
    s->format = info;
  }
}
