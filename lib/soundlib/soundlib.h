// SoundLib: the sound stream interface. A user creates a back end for one
// sound API, creates streams on it from a parameter record and a callback,
// starts, stops and destroys them; the back end talks to the real sound
// system and hands data to the callback on its own thread.
#pragma once

#include <cstddef>
#include <cstdint>

// API codes (one bit each). The agent only ever selects PipeWire.
constexpr uint32_t SOUNDLIB_API_PIPEWIRE = 1u << 14;  // 16384
// Every API code that some back end of the library answers to.
constexpr uint32_t SOUNDLIB_API_SUPPORTED = 0x4653;

enum SoundStreamMode : uint32_t {
  SOUND_STREAM_MODE_PLAY = 1,            // plays to an output
  SOUND_STREAM_MODE_RECORD = 2,          // records from an input
  SOUND_STREAM_MODE_PLAY_TO_SOURCE = 3,  // output aimed at the default input
  SOUND_STREAM_MODE_RECORD_MONITOR = 4,  // records what the default output plays
};

struct SoundStreamParams {
  uint32_t sampleRate;     // frames per second
  uint32_t sampleSize;     // significant bits per sample
  uint32_t containerSize;  // bits one sample occupies in memory
  uint32_t numChannels;    // interleaved channels per frame
  uint32_t mode;           // SoundStreamMode
  uint32_t sampleFormat;   // encoding code; the back end maps it
  uint32_t reserved;       // not read by the PipeWire back end
};
static_assert(sizeof(SoundStreamParams) == 28);

// Payload of a data event.
struct SoundBuffer {
  void *data;
  uint64_t size;  // bytes
};
static_assert(sizeof(SoundBuffer) == 16);

enum SoundEvent : int32_t {
  SOUND_EVENT_DATA = 0,   // payload: SoundBuffer, size 16
  SOUND_EVENT_ERROR = 2,  // payload: one uint32_t of value 1, size 4
};

enum SoundStreamState : uint32_t {
  SOUND_STREAM_DESTROYED = 0,
  SOUND_STREAM_CREATED = 1,
  SOUND_STREAM_STARTED = 2,
  SOUND_STREAM_PAUSED = 3,
  SOUND_STREAM_STOPPED = 4,
};

// Called on the back end's thread; must not block and must not call back
// into SoundLib for the same stream.
typedef void (*SoundClientCallback)(int32_t event, const void *payload, uint64_t size,
                                    void *clientData);

struct SoundBackend;
struct SoundStream;

// Returns the back end for apiCode, or null (unsupported code, or the back
// end cannot be created). deviceName may be null.
SoundBackend *SoundLib_CreateBackendMulti(uint32_t apiCode, const char *deviceName);
// Validates params, asks the back end for a stream and links it into the
// back end's list in the created state. False on failure (nothing remains).
bool SoundLib_CreateSyncSoundStream(SoundBackend *backend, const SoundStreamParams *params,
                                    uint64_t sizeArg, uint32_t countArg,
                                    SoundClientCallback callback, void *clientData,
                                    SoundStream **streamOut);
bool SoundLib_StartSoundStream(SoundStream *stream);
void SoundLib_StopSoundStream(SoundStream *stream);
// Frees the stream (stopping it first when it runs).
void SoundLib_DestroySoundStream(SoundStream *stream);
// Destroys the remaining streams in list order, then the back end.
void SoundLib_DestroyBackend(SoundBackend *backend);

SoundStreamState SoundLib_GetStreamState(const SoundStream *stream);
