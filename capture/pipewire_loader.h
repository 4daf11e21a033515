// Run-time loading of the PipeWire client library for the video stream.
// The agent is never linked against libpipewire: the entry points it uses are
// resolved with dlsym into PipeWireApi, and everything else it needs from
// PipeWire/SPA is header-only.
#pragma once

#include <pipewire/pipewire.h>
#include <pipewire/stream.h>
#include <pipewire/thread-loop.h>

// X(symbol) for each entry, in table order; the order is also the order of
// resolution and so decides which missing symbol is reported first.
#define SW_PIPEWIRE_API_ENTRIES(X) \
  X(pw_get_library_version)        \
  X(pw_init)                       \
  X(pw_thread_loop_new)            \
  X(pw_context_new)                \
  X(pw_context_connect)            \
  X(pw_properties_new)             \
  X(pw_properties_setf)            \
  X(pw_thread_loop_lock)           \
  X(pw_stream_new)                 \
  X(pw_stream_add_listener)        \
  X(pw_stream_connect)             \
  X(pw_stream_update_params)       \
  X(pw_thread_loop_unlock)         \
  X(pw_thread_loop_start)          \
  X(pw_thread_loop_stop)           \
  X(pw_thread_loop_destroy)        \
  X(pw_core_disconnect)            \
  X(pw_stream_destroy)             \
  X(pw_context_destroy)            \
  X(pw_stream_dequeue_buffer)      \
  X(pw_stream_queue_buffer)        \
  X(pw_stream_set_active)          \
  X(pw_stream_state_as_string)     \
  X(pw_thread_loop_get_loop)       \
  X(pw_proxy_destroy)

struct PipeWireApi {
#define SW_PIPEWIRE_API_MEMBER(sym) decltype(&::sym) sym = nullptr;
  SW_PIPEWIRE_API_ENTRIES(SW_PIPEWIRE_API_MEMBER)
#undef SW_PIPEWIRE_API_MEMBER
};

constexpr int kPipeWireApiEntries = 25;

// Opens the library named by "sightwell.libPipewire" (default
// "libpipewire-0.3.so", falling back to the runtime name
// "libpipewire-0.3.so.0") and fills all 25 entries in table order.
// Returns 0 on success; -1 with *handleSlot null otherwise.
int LoadPipeWireLibrary(void **handleSlot, PipeWireApi *api);
// Closes the handle; a null handle is accepted. The caller then forgets it.
void UnloadPipeWireLibrary(void *handle);
