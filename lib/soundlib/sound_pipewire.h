// The PipeWire back end of SoundLib (API code 16384): each sound stream is
// one PipeWire stream on a private thread loop.
#pragma once

#include <cstddef>
#include <cstdint>

#include <spa/param/audio/raw.h>
#include <spa/utils/hook.h>

#include "lib/soundlib/sound_backend.h"
#include "lib/soundlib/sound_pipewire_api.h"

struct PipewireSoundBackend : SoundBackend {
  PipeWireAudioApi *api = nullptr;
  char *deviceName = nullptr;  // private copy; null when none was given
  bool ownsInit = false;       // this back end called pw_init
};

struct PipewireSoundStream : SoundStream {
  PipewireSoundBackend *pwBackend = nullptr;

  pw_thread_loop *loop = nullptr;
  pw_context *context = nullptr;
  pw_core *core = nullptr;
  pw_stream *stream = nullptr;
  spa_hook listener{};

  bool active = false;
  bool loopStarted = false;
  bool listenerAdded = false;

  // Negotiated format, written by the param callback on the loop thread.
  spa_audio_info_raw format{};

  // Recording copy buffer; grows on the data thread, freed after teardown.
  uint8_t *copyBuffer = nullptr;
  size_t copyCapacity = 0;
};

// Returns the back end, or null when the library cannot be loaded.
SoundBackend *SoundLib_CreatePipewireBackend(const char *deviceName);

// Stream steps, exposed for the back end's own files and for tests.
bool SoundPipewireFillAudioInfo(const SoundStreamParams &params, spa_audio_info_raw *info);
// Sets the stream properties of params' mode on props. False when the mode
// is unknown or a property cannot be set (props is then freed).
bool SoundPipewireApplyProperties(const PipeWireAudioApi *api, pw_properties *props,
                                  const SoundStreamParams &params, const char *deviceName);
bool SoundPipewireConnectStream(PipewireSoundStream *s);
void SoundPipewireTeardown(PipewireSoundStream *s);

// PipeWire stream events.
void SoundPipewireStreamStateCB(void *data, pw_stream_state old, pw_stream_state state,
                                const char *error);
void SoundPipewireParamChangedCB(void *data, uint32_t id, const spa_pod *param);
void SoundPipewireProcessCB(void *data);

// Copies the negotiated format under the stream's loop lock. False when the
// stream is not connected or no format was negotiated yet.
bool SoundPipewireGetNegotiatedFormat(SoundStream *stream, spa_audio_info_raw *out);
