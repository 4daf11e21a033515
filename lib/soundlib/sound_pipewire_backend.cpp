// The PipeWire back end's records and operation tables: back-end creation
// and destruction (pw_init/pw_deinit), stream creation, start, pause, stop
// and destroy.
#include <cstdlib>
#include <cstring>
#include <new>

#include "lib/log/log.h"
#include "lib/sig/panic.h"
#include "lib/soundlib/sound_pipewire.h"

namespace {

PipewireSoundBackend *AsBackend(SoundBackend *b) { return static_cast<PipewireSoundBackend *>(b); }
PipewireSoundStream *AsStream(SoundStream *s) { return static_cast<PipewireSoundStream *>(s); }

uint32_t SoundPipewireApiCode(SoundBackend *) { return SOUNDLIB_API_PIPEWIRE; }

int SoundPipewireDescribe(SoundBackend *, SoundBackendDescription *out) {
  out->apiCode = SOUNDLIB_API_PIPEWIRE;
  out->maxChannels = SPA_AUDIO_MAX_CHANNELS;
  out->flags = 0;
  return 0;
}

int SoundPipewireListDevices(SoundBackend *, SoundDeviceInfo **list, uint32_t *count) {
  *list = nullptr;
  *count = 0;
  return 0;
}

void SoundPipewireFreeDeviceList(SoundBackend *, SoundDeviceInfo *list, uint32_t) { free(list); }

SoundStream *SoundPipewireCreateSoundStream(SoundBackend *backend, const SoundStreamParams *params,
                                            uint64_t, uint32_t, SoundCallbackLock *, void *);
void SoundPipewireDestroyBackend(SoundBackend *backend);

const SoundBackendOps kBackendOps = {
    SoundPipewireApiCode,
    SoundPipewireDescribe,
    SoundPipewireListDevices,
    SoundPipewireFreeDeviceList,
    SoundPipewireCreateSoundStream,
    SoundPipewireDestroyBackend,
    nullptr,
    nullptr,
};

// Frees what a stopped stream no longer needs. Only called after the
// teardown, so the data thread no longer touches the copy buffer.
void ReleaseCopyBuffer(PipewireSoundStream *s) {
  free(s->copyBuffer);
  s->copyBuffer = nullptr;
  s->copyCapacity = 0;
}

bool SoundPipewireStartStream(SoundStream *stream) {
  PipewireSoundStream *s = AsStream(stream);
  const PipeWireAudioApi *api = s->pwBackend->api;
  if (s->loop != nullptr) {
    // Paused earlier: everything is still connected.
    if (s->stream == nullptr) {
      return false;
    }
    if (s->active) {
      return true;
    }
    api->pw_thread_loop_lock(s->loop);
    api->pw_stream_set_active(s->stream, true);
    api->pw_thread_loop_unlock(s->loop);
    s->active = true;
    return true;
  }
  if (s->stream != nullptr || s->context != nullptr) {
    return false;
  }
  if (!SoundPipewireConnectStream(s)) {
    Log_Warning("SOUNDLIB: %s: Failed to connect PipeWire stream\n", __func__);
    SoundLib_ReportStreamError(s);
    return false;
  }
  s->active = true;
  return true;
}

void SoundPipewirePauseStream(SoundStream *stream) {
  PipewireSoundStream *s = AsStream(stream);
  const PipeWireAudioApi *api = s->pwBackend->api;
  if (s->stream != nullptr && s->loop != nullptr) {
    api->pw_thread_loop_lock(s->loop);
    api->pw_stream_set_active(s->stream, false);
    api->pw_thread_loop_unlock(s->loop);
  }
  s->active = false;
}

// Also the abort operation.
void SoundPipewireStopStream(SoundStream *stream) {
  PipewireSoundStream *s = AsStream(stream);
  if (!s->active) {
    return;
  }
  s->active = false;
  SoundPipewireTeardown(s);
  ReleaseCopyBuffer(s);
}

void SoundPipewireDestroySoundStream(SoundStream *stream) {
  PipewireSoundStream *s = AsStream(stream);
  SoundPipewireStopStream(s);
  // A paused stream is inactive but still connected: its loop thread and
  // PipeWire objects must not outlive the record.
  if (s->loop != nullptr) {
    SoundPipewireTeardown(s);
  }
  ReleaseCopyBuffer(s);
  delete s;
}

void SoundPipewireNoop(SoundStream *) {}

const SoundStreamOps kStreamOps = {
    SoundPipewireStartStream,
    SoundPipewirePauseStream,
    SoundPipewireStopStream,
    SoundPipewireStopStream,
    SoundPipewireDestroySoundStream,
    SoundPipewireNoop,
    SoundPipewireNoop,
};

SoundStream *SoundPipewireCreateSoundStream(SoundBackend *backend, const SoundStreamParams *params,
                                            uint64_t, uint32_t, SoundCallbackLock *, void *) {
  PipewireSoundStream *s = new (std::nothrow) PipewireSoundStream{};
  if (s == nullptr) {
    return nullptr;
  }
  s->ops = &kStreamOps;
  s->backend = backend;
  s->pwBackend = AsBackend(backend);
  s->params = *params;
  return s;
}

void SoundPipewireDestroyBackend(SoundBackend *backend) {
  PipewireSoundBackend *b = AsBackend(backend);
  if (b->ownsInit) {
    b->api->pw_deinit();
    SoundUnloadPipewire(b->api);
  }
  free(b->deviceName);
  delete b;
}

}  // namespace

SoundBackend *SoundLib_CreatePipewireBackend(const char *deviceName) {
  PipeWireAudioApi *api = SoundLoadPipewire();
  if (api == nullptr) {
    return nullptr;
  }
  PipewireSoundBackend *b = new (std::nothrow) PipewireSoundBackend{};
  if (b == nullptr) {
    Panic_MemAllocFailure(__FILE__, __LINE__);
  }
  b->ops = &kBackendOps;
  b->api = api;
  if (deviceName != nullptr) {
    b->deviceName = strdup(deviceName);
    if (b->deviceName == nullptr) {
      Panic_MemAllocFailure(__FILE__, __LINE__);
    }
  }
  b->ownsInit = true;
  api->pw_init(nullptr, nullptr);
  return b;
}
