// SoundLib's stream interface: parameter validation, the stream state table
// and the back end's list of streams. All calls for one back end come from
// one thread, so nothing here is locked.
#include "lib/soundlib/soundlib.h"

#include "lib/log/log.h"
#include "lib/soundlib/sound_backend.h"
#include "lib/soundlib/sound_pipewire.h"

namespace {

bool ParamsValid(const SoundStreamParams &p, uint64_t sizeArg, uint32_t countArg) {
  if (p.sampleRate == 0 || p.sampleSize == 0 || p.numChannels == 0 || p.mode == 0 ||
      p.sampleFormat == 0) {
    return false;
  }
  if (p.containerSize == 0 || p.containerSize % 8 != 0 || p.containerSize < p.sampleSize) {
    return false;
  }
  return sizeArg != 0 && countArg != 0;
}

void LinkAtTail(SoundBackend *backend, SoundStream *stream) {
  SoundStream *head = backend->streams;
  if (head == nullptr) {
    stream->prev = stream;
    stream->next = stream;
    backend->streams = stream;
    return;
  }
  SoundStream *tail = head->prev;
  stream->prev = tail;
  stream->next = head;
  tail->next = stream;
  head->prev = stream;
}

void Unlink(SoundStream *stream) {
  SoundBackend *backend = stream->backend;
  if (stream->next == nullptr) {
    return;  // never linked
  }
  if (stream->next == stream) {
    if (backend != nullptr && backend->streams == stream) {
      backend->streams = nullptr;
    }
  } else {
    stream->prev->next = stream->next;
    stream->next->prev = stream->prev;
    if (backend != nullptr && backend->streams == stream) {
      backend->streams = stream->next;
    }
  }
  stream->prev = nullptr;
  stream->next = nullptr;
}

}  // namespace

SoundBackend *SoundLib_CreateBackendMulti(uint32_t apiCode, const char *deviceName) {
  if ((apiCode & SOUNDLIB_API_SUPPORTED) == 0) {
    Log_Warning("SOUNDLIB: %s: API: %x is not supported.\n", __func__, apiCode);
    return nullptr;
  }
  if (apiCode & SOUNDLIB_API_PIPEWIRE) {
    return SoundLib_CreatePipewireBackend(deviceName);
  }
  // The other supported APIs (ALSA, PulseAudio, dummy, wave file, multiplexer)
  // are not built into this library.
  Log_Info("SOUNDLIB: %s: API: %x is not available in this build.\n", __func__, apiCode);
  return nullptr;
}

bool SoundLib_CreateSyncSoundStream(SoundBackend *backend, const SoundStreamParams *params,
                                    uint64_t sizeArg, uint32_t countArg,
                                    SoundClientCallback callback, void *clientData,
                                    SoundStream **streamOut) {
  if (backend == nullptr || params == nullptr || streamOut == nullptr ||
      !ParamsValid(*params, sizeArg, countArg)) {
    Log_Warning("SOUNDLIB: %s: Invalid sound stream parameters.\n", __func__);
    return false;
  }
  SoundStream *stream =
      backend->ops->createStream(backend, params, sizeArg, countArg, nullptr, clientData);
  if (stream == nullptr) {
    Log_Info("SOUNDLIB: %s: Failed to create sound stream.\n", __func__);
    return false;
  }
  stream->backend = backend;
  stream->callback = callback;
  stream->clientData = clientData;
  stream->state = SOUND_STREAM_CREATED;
  LinkAtTail(backend, stream);
  *streamOut = stream;
  return true;
}

bool SoundLib_StartSoundStream(SoundStream *stream) {
  if (stream->state == SOUND_STREAM_STARTED) {
    return true;
  }
  stream->state = SOUND_STREAM_STARTED;
  if (!stream->ops->start(stream)) {
    stream->state = SOUND_STREAM_STOPPED;
    return false;
  }
  return true;
}

void SoundLib_StopSoundStream(SoundStream *stream) {
  SoundStreamState was = stream->state;
  stream->state = SOUND_STREAM_STOPPED;
  if (was == SOUND_STREAM_STARTED) {
    stream->ops->stop(stream);
  }
}

void SoundLib_DestroySoundStream(SoundStream *stream) {
  if (stream->state == SOUND_STREAM_STARTED || stream->state == SOUND_STREAM_PAUSED) {
    bool wasStarted = stream->state == SOUND_STREAM_STARTED;
    stream->state = SOUND_STREAM_STOPPED;
    if (wasStarted) {
      stream->ops->abort(stream);
    }
  }
  Unlink(stream);
  stream->state = SOUND_STREAM_DESTROYED;
  stream->ops->destroy(stream);
}

void SoundLib_DestroyBackend(SoundBackend *backend) {
  while (backend->streams != nullptr) {
    SoundStream *stream = backend->streams;
    bool wasStarted = stream->state == SOUND_STREAM_STARTED;
    stream->state = SOUND_STREAM_STOPPED;
    if (wasStarted) {
      stream->ops->abort(stream);
    }
    SoundLib_DestroySoundStream(stream);
  }
  backend->ops->destroyBackend(backend);
}

SoundStreamState SoundLib_GetStreamState(const SoundStream *stream) {
  return stream->state;
}

void SoundLib_ReportStreamError(SoundStream *stream) {
  if (stream->callback != nullptr) {
    const uint32_t one = 1;
    stream->callback(SOUND_EVENT_ERROR, &one, sizeof one, stream->clientData);
  }
}
