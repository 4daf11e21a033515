// Connecting a sound stream to PipeWire: mode and format tables, stream
// properties, the one offered format, and the teardown that every failure,
// stop and destroy goes through.
#include <cstdlib>
#include <cstring>

#include <spa/param/audio/format-utils.h>
#include <spa/pod/builder.h>

#include "lib/config/config.h"
#include "lib/log/log.h"
#include "lib/soundlib/sound_pipewire.h"

namespace {

constexpr const char *kLoopName = "soundlib-pipewire";
constexpr const char *kStreamName = "soundlib-pipewire";
constexpr size_t kFormatBufferSize = 512;
constexpr uint32_t kStreamFlags =
    PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS;
static_assert(kStreamFlags == 21);

struct SampleFormatEntry {
  uint32_t code;
  uint32_t sampleSize;
  uint32_t containerSize;
  spa_audio_format format;
};

constexpr SampleFormatEntry kSampleFormats[] = {
    {1, 8, 8, SPA_AUDIO_FORMAT_U8},       {2, 8, 8, SPA_AUDIO_FORMAT_S8},
    {3, 16, 16, SPA_AUDIO_FORMAT_S16_LE}, {4, 20, 24, SPA_AUDIO_FORMAT_S20_LE},
    {5, 24, 24, SPA_AUDIO_FORMAT_S24_LE}, {5, 24, 32, SPA_AUDIO_FORMAT_S32_LE},
    {6, 32, 32, SPA_AUDIO_FORMAT_S32_LE},
};
static_assert(SPA_AUDIO_FORMAT_U8 == 0x102 && SPA_AUDIO_FORMAT_S8 == 0x101 &&
              SPA_AUDIO_FORMAT_S16_LE == 0x103 && SPA_AUDIO_FORMAT_S20_LE == 0x113 &&
              SPA_AUDIO_FORMAT_S24_LE == 0x10F && SPA_AUDIO_FORMAT_S32_LE == 0x10B);

bool DirectionForMode(uint32_t mode, pw_direction *dir) {
  switch (mode) {
    case SOUND_STREAM_MODE_PLAY:
    case SOUND_STREAM_MODE_PLAY_TO_SOURCE:
      *dir = PW_DIRECTION_OUTPUT;
      return true;
    case SOUND_STREAM_MODE_RECORD:
    case SOUND_STREAM_MODE_RECORD_MONITOR:
      *dir = PW_DIRECTION_INPUT;
      return true;
    default:
      return false;
  }
}

const pw_stream_events kStreamEvents = [] {
  pw_stream_events events{};
  events.version = PW_VERSION_STREAM_EVENTS;
  events.state_changed = SoundPipewireStreamStateCB;
  events.param_changed = SoundPipewireParamChangedCB;
  events.process = SoundPipewireProcessCB;
  return events;
}();

}  // namespace

bool SoundPipewireFillAudioInfo(const SoundStreamParams &params, spa_audio_info_raw *info) {
  const SampleFormatEntry *match = nullptr;
  for (const SampleFormatEntry &e : kSampleFormats) {
    if (e.code == params.sampleFormat && e.sampleSize == params.sampleSize &&
        e.containerSize == params.containerSize) {
      match = &e;
      break;
    }
  }
  if (match == nullptr) {
    Log_Warning("SOUNDLIB: %s: Unsupported sample format: sample size = %u-bit, container size = "
                "%u-bit, format = %u.\n",
                __func__, params.sampleSize, params.containerSize, params.sampleFormat);
    return false;
  }
  // The raw format carries at most SPA_AUDIO_MAX_CHANNELS positions.
  if (params.numChannels == 0 || params.numChannels > SPA_AUDIO_MAX_CHANNELS) {
    Log_Warning("SOUNDLIB: %s: Unsupported channel count %u\n", __func__, params.numChannels);
    return false;
  }
  *info = spa_audio_info_raw{};
  info->format = match->format;
  info->flags = 0;
  info->rate = params.sampleRate;
  info->channels = params.numChannels;
  if (params.numChannels == 1) {
    info->position[0] = SPA_AUDIO_CHANNEL_MONO;
  } else {
    info->position[0] = SPA_AUDIO_CHANNEL_FL;
    info->position[1] = SPA_AUDIO_CHANNEL_FR;
    for (uint32_t i = 2; i < params.numChannels; i++) {
      info->position[i] = SPA_AUDIO_CHANNEL_UNKNOWN;
    }
  }
  return true;
}

bool SoundPipewireApplyProperties(const PipeWireAudioApi *api, pw_properties *props,
                                  const SoundStreamParams &params, const char *deviceName) {
  struct Property {
    const char *key;
    const char *value;
  };
  Property list[5] = {};
  size_t n = 0;
  list[n++] = {"media.type", "Audio"};
  list[n++] = {"media.role", "Production"};
  switch (params.mode) {
    case SOUND_STREAM_MODE_PLAY:
      list[n++] = {"media.category", "Playback"};
      list[n++] = {"target.object", deviceName != nullptr ? deviceName : "@DEFAULT_AUDIO_SINK@"};
      break;
    case SOUND_STREAM_MODE_RECORD:
      list[n++] = {"media.category", "Capture"};
      list[n++] = {"target.object", deviceName != nullptr ? deviceName : "@DEFAULT_AUDIO_SOURCE@"};
      break;
    case SOUND_STREAM_MODE_PLAY_TO_SOURCE:
      list[n++] = {"target.object", "@DEFAULT_AUDIO_SOURCE@"};
      break;
    case SOUND_STREAM_MODE_RECORD_MONITOR:
      list[n++] = {"stream.capture.sink", "true"};
      list[n++] = {"target.object", "@DEFAULT_AUDIO_SINK@"};
      break;
    default:
      api->pw_properties_free(props);
      return false;
  }
  char *displayName = Config_GetString(nullptr, "displayName");
  if (displayName != nullptr) {
    list[n++] = {"application.name", displayName};
  }
  bool ok = true;
  for (size_t i = 0; i < n; i++) {
    if (api->pw_properties_set(props, list[i].key, list[i].value) < 0) {
      Log_Warning("SOUNDLIB: %s: Failed to set PipeWire property '%s'\n", __func__, list[i].key);
      api->pw_properties_free(props);
      ok = false;
      break;
    }
  }
  free(displayName);
  return ok;
}

bool SoundPipewireConnectStream(PipewireSoundStream *s) {
  static const char *const fn = "SoundPipewireConnectStream";
  const PipeWireAudioApi *api = s->pwBackend->api;
  const SoundStreamParams &params = s->params;

  pw_direction direction;
  if (!DirectionForMode(params.mode, &direction)) {
    Log_Warning("SOUNDLIB: %s: Unsupported stream mode %d\n", fn, static_cast<int>(params.mode));
    return false;
  }
  spa_audio_info_raw info;
  if (!SoundPipewireFillAudioInfo(params, &info)) {
    return false;
  }

  s->loop = api->pw_thread_loop_new(kLoopName, nullptr);
  if (s->loop == nullptr) {
    Log_Warning("SOUNDLIB: %s: Failed to create PipeWire thread loop\n", fn);
    return false;
  }
  s->context = api->pw_context_new(api->pw_thread_loop_get_loop(s->loop), nullptr, 0);
  if (s->context == nullptr) {
    Log_Warning("SOUNDLIB: %s: Failed to create PipeWire context\n", fn);
    SoundPipewireTeardown(s);
    return false;
  }
  s->core = api->pw_context_connect(s->context, nullptr, 0);
  if (s->core == nullptr) {
    Log_Warning("SOUNDLIB: %s: Failed to connect PipeWire core\n", fn);
    SoundPipewireTeardown(s);
    return false;
  }
  pw_properties *props = api->pw_properties_new(nullptr, nullptr);
  if (props == nullptr) {
    Log_Warning("SOUNDLIB: %s: Failed to allocate PipeWire properties\n", fn);
    SoundPipewireTeardown(s);
    return false;
  }
  if (!SoundPipewireApplyProperties(api, props, params, s->pwBackend->deviceName)) {
    SoundPipewireTeardown(s);
    return false;
  }

  alignas(8) uint8_t formatBuffer[kFormatBufferSize];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(formatBuffer, sizeof formatBuffer);
  const spa_pod *formatParam = spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info);
  if (formatParam == nullptr) {
    Log_Warning("SOUNDLIB: %s: Failed to build PipeWire format\n", fn);
    api->pw_properties_free(props);
    SoundPipewireTeardown(s);
    return false;
  }

  api->pw_thread_loop_lock(s->loop);
  s->stream = api->pw_stream_new(s->core, kStreamName, props);  // takes props
  if (s->stream == nullptr) {
    api->pw_thread_loop_unlock(s->loop);
    Log_Warning("SOUNDLIB: %s: Failed to create PipeWire stream\n", fn);
    SoundPipewireTeardown(s);
    return false;
  }
  api->pw_stream_add_listener(s->stream, &s->listener, &kStreamEvents, s);
  s->listenerAdded = true;
  const spa_pod *paramList[1] = {formatParam};
  int r = api->pw_stream_connect(s->stream, direction, PW_ID_ANY,
                                 static_cast<pw_stream_flags>(kStreamFlags), paramList, 1);
  api->pw_thread_loop_unlock(s->loop);
  if (r < 0) {
    Log_Warning("SOUNDLIB: %s: Failed to connect PipeWire stream (%d)\n", fn, r);
    SoundPipewireTeardown(s);
    return false;
  }

  r = api->pw_thread_loop_start(s->loop);
  if (r < 0) {
    Log_Warning("SOUNDLIB: %s: Failed to start PipeWire loop (%d)\n", fn, r);
    SoundPipewireTeardown(s);
    return false;
  }
  s->loopStarted = true;
  return true;
}

void SoundPipewireTeardown(PipewireSoundStream *s) {
  const PipeWireAudioApi *api = s->pwBackend->api;
  if (s->loop != nullptr) {
    api->pw_thread_loop_lock(s->loop);
    if (s->listenerAdded && s->stream != nullptr) {
      spa_hook_remove(&s->listener);
      s->listenerAdded = false;
    }
    s->listener = spa_hook{};
    if (s->stream != nullptr) {
      api->pw_stream_disconnect(s->stream);
      api->pw_stream_destroy(s->stream);
      s->stream = nullptr;
    }
    if (s->core != nullptr) {
      api->pw_core_disconnect(s->core);
      s->core = nullptr;
    }
    api->pw_thread_loop_unlock(s->loop);
    if (s->loopStarted) {
      api->pw_thread_loop_stop(s->loop);
      s->loopStarted = false;
    }
    if (s->context != nullptr) {
      api->pw_context_destroy(s->context);
      s->context = nullptr;
    }
    api->pw_thread_loop_destroy(s->loop);
    s->loop = nullptr;
  }
  s->active = false;
}

bool SoundPipewireGetNegotiatedFormat(SoundStream *stream, spa_audio_info_raw *out) {
  PipewireSoundStream *s = static_cast<PipewireSoundStream *>(stream);
  if (s->loop == nullptr) {
    return false;
  }
  const PipeWireAudioApi *api = s->pwBackend->api;
  api->pw_thread_loop_lock(s->loop);
  *out = s->format;
  api->pw_thread_loop_unlock(s->loop);
  return out->format != SPA_AUDIO_FORMAT_UNKNOWN;
}
