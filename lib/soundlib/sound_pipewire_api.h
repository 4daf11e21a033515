// The audio back end's own run-time binding to the PipeWire client library.
// The library is opened with dlopen and shared by every back end of the
// process: the first user loads it, the last one closes it.
#pragma once

#include <cstdint>

#include <pipewire/pipewire.h>
#include <pipewire/stream.h>
#include <pipewire/thread-loop.h>

// X(symbol) for each entry, in table (and resolution) order.
#define SW_PIPEWIRE_AUDIO_API_ENTRIES(X) \
  X(pw_get_library_version)              \
  X(pw_init)                             \
  X(pw_deinit)                           \
  X(pw_thread_loop_new)                  \
  X(pw_thread_loop_destroy)              \
  X(pw_thread_loop_start)                \
  X(pw_thread_loop_stop)                 \
  X(pw_thread_loop_lock)                 \
  X(pw_thread_loop_unlock)               \
  X(pw_thread_loop_get_loop)             \
  X(pw_context_new)                      \
  X(pw_context_destroy)                  \
  X(pw_context_connect)                  \
  X(pw_core_disconnect)                  \
  X(pw_properties_new)                   \
  X(pw_properties_set)                   \
  X(pw_properties_setf)                  \
  X(pw_properties_free)                  \
  X(pw_stream_new)                       \
  X(pw_stream_destroy)                   \
  X(pw_stream_add_listener)              \
  X(pw_stream_connect)                   \
  X(pw_stream_disconnect)                \
  X(pw_stream_dequeue_buffer)            \
  X(pw_stream_queue_buffer)              \
  X(pw_stream_set_active)                \
  X(pw_stream_state_as_string)

struct PipeWireAudioApi {
  void *handle = nullptr;
#define SW_PIPEWIRE_AUDIO_API_MEMBER(sym) decltype(&::sym) sym = nullptr;
  SW_PIPEWIRE_AUDIO_API_ENTRIES(SW_PIPEWIRE_AUDIO_API_MEMBER)
#undef SW_PIPEWIRE_AUDIO_API_MEMBER
};

constexpr int kPipewireAudioApiEntries = 27;
static_assert(sizeof(PipeWireAudioApi) == sizeof(void *) * (1 + kPipewireAudioApiEntries));

// Returns the shared table (one more user), or null when the library or one
// of its symbols is missing.
PipeWireAudioApi *SoundLoadPipewire(void);
// One user less; the last one closes the library.
void SoundUnloadPipewire(PipeWireAudioApi *api);

// Loader state for diagnostics and tests: 0 not loaded, 1 loading, 2 loaded.
struct SoundPipewireLoaderInfo {
  int loadState;
  uint32_t refCount;
  void *handle;
};
SoundPipewireLoaderInfo SoundPipewireGetLoaderInfo(void);
