// The plug-in side of SoundLib: the common heads of back-end and stream
// records and their tables of operations. A back end derives its records
// from these heads and fills the tables; the slot order is fixed.
#pragma once

#include <cstdint>

#include "lib/soundlib/soundlib.h"

struct SoundCallbackLock;  // optional lock around client callbacks (unused)

// Fixed description of a back end (12 bytes).
struct SoundBackendDescription {
  uint32_t apiCode;
  uint32_t maxChannels;
  uint32_t flags;
};
static_assert(sizeof(SoundBackendDescription) == 12);

struct SoundDeviceInfo {
  char name[128];
  uint32_t flags;
};

struct SoundBackendOps {
  uint32_t (*apiCode)(SoundBackend *backend);                                       // 1
  int (*describe)(SoundBackend *backend, SoundBackendDescription *out);             // 2
  int (*listDevices)(SoundBackend *backend, SoundDeviceInfo **list, uint32_t *count);  // 3
  void (*freeDeviceList)(SoundBackend *backend, SoundDeviceInfo *list, uint32_t count);  // 4
  SoundStream *(*createStream)(SoundBackend *backend, const SoundStreamParams *params,
                               uint64_t sizeArg, uint32_t countArg,
                               SoundCallbackLock *callbackLock, void *clientData);  // 5
  void (*destroyBackend)(SoundBackend *backend);                                    // 6
  void (*reserved7)(void);
  void (*reserved8)(void);
};

struct SoundStreamOps {
  bool (*start)(SoundStream *stream);    // 1
  void (*pause)(SoundStream *stream);    // 2
  void (*stop)(SoundStream *stream);     // 3
  void (*abort)(SoundStream *stream);    // 4
  void (*destroy)(SoundStream *stream);  // 5: frees the stream
  void (*extra6)(SoundStream *stream);
  void (*extra7)(SoundStream *stream);
};

// Common head of every back end. streams is a circular doubly linked list;
// null when empty.
struct SoundBackend {
  const SoundBackendOps *ops = nullptr;
  SoundStream *streams = nullptr;
};

// Common head of every stream.
struct SoundStream {
  const SoundStreamOps *ops = nullptr;
  SoundBackend *backend = nullptr;
  SoundStreamState state = SOUND_STREAM_DESTROYED;
  SoundStreamParams params{};
  SoundClientCallback callback = nullptr;
  void *clientData = nullptr;
  SoundStream *prev = nullptr;
  SoundStream *next = nullptr;
};

// Reports a stream failure to the client through the error event.
void SoundLib_ReportStreamError(SoundStream *stream);
