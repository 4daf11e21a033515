// Shared loader of the PipeWire client library for the audio back end.
//
// loadState moves 0 -> 1 (one thread loads) -> 2 (published). refCount
// counts users. A user joins a loaded table only while refCount is non-zero
// (compare-and-swap), so it can never pick up a table that the last user is
// in the middle of freeing; such a joiner waits for the state to return to
// 0 and loads afresh. The loading thread takes its reference only once the
// table is complete: a joiner that still saw the previous table's state
// must not be able to join a table that is being filled in.
#include "lib/soundlib/sound_pipewire_api.h"

#include <dlfcn.h>
#include <sched.h>

#include <atomic>
#include <new>

#include "lib/log/log.h"
#include "lib/sig/panic.h"

namespace {

enum : int { kNotLoaded = 0, kLoading = 1, kLoaded = 2 };

std::atomic<int> loadState{kNotLoaded};
std::atomic<uint32_t> refCount{0};
// Outcome of the latest load attempt, for threads that waited on it: a
// failed load is reported to them, a load that succeeded but was already
// released again is simply retried.
std::atomic<bool> lastLoadFailed{false};
// Written only by the loading or the last unloading thread; published to
// joiners by the release store of refCount.
std::atomic<PipeWireAudioApi *> sharedApi{nullptr};

constexpr const char *kLibraryNames[] = {"libpipewire-0.3.so", "libpipewire-0.3.so.0"};
constexpr int kDlopenFlags = RTLD_NOW | RTLD_GLOBAL;
static_assert(kDlopenFlags == 258);

// Takes one more reference when the table is live. False when refCount is
// 0, i.e. the table is being torn down.
bool JoinLoaded() {
  uint32_t count = refCount.load(std::memory_order_acquire);
  while (count != 0) {
    if (refCount.compare_exchange_weak(count, count + 1, std::memory_order_acq_rel)) {
      return true;
    }
  }
  return false;
}

bool ResolveAll(PipeWireAudioApi *api) {
#define SW_RESOLVE(sym)                                                              \
  {                                                                                  \
    dlerror();                                                                       \
    void *addr = dlsym(api->handle, #sym);                                           \
    if (addr == nullptr) {                                                           \
      const char *err = dlerror();                                                   \
      Log_Warning("SOUNDPIPEWIRE: %s: Failed to load symbol %s: %s\n", "SoundLoadPipewire", \
                  #sym, err != nullptr ? err : "symbol is null");                    \
      return false;                                                                  \
    }                                                                                \
    api->sym = reinterpret_cast<decltype(api->sym)>(addr);                           \
  }
  SW_PIPEWIRE_AUDIO_API_ENTRIES(SW_RESOLVE)
#undef SW_RESOLVE
  return true;
}

// Closes the library, frees the table and lets the next user load afresh.
// Called by the last user, or by the loading thread when its load failed.
void ReleaseTable(PipeWireAudioApi *api) {
  if (api->handle != nullptr && dlclose(api->handle) != 0) {
    const char *err = dlerror();
    Log_Warning("SOUNDPIPEWIRE: %s: Failed to close PipeWire library: %s\n", "SoundUnloadPipewire",
                err != nullptr ? err : "unknown error");
  }
  sharedApi.store(nullptr, std::memory_order_relaxed);
  delete api;
  loadState.store(kNotLoaded, std::memory_order_release);
}

}  // namespace

PipeWireAudioApi *SoundLoadPipewire(void) {
  for (;;) {
    int state = loadState.load(std::memory_order_acquire);
    if (state == kLoaded) {
      if (JoinLoaded()) {
        return sharedApi.load(std::memory_order_acquire);
      }
      sched_yield();  // the last user is closing it; wait for state 0
      continue;
    }
    if (state == kLoading) {
      while ((state = loadState.load(std::memory_order_acquire)) == kLoading) {
        sched_yield();
      }
      if (state == kLoaded && JoinLoaded()) {
        return sharedApi.load(std::memory_order_acquire);
      }
      if (lastLoadFailed.load(std::memory_order_acquire)) {
        return nullptr;  // the other thread's load failed
      }
      continue;
    }
    int expected = kNotLoaded;
    if (loadState.compare_exchange_strong(expected, kLoading, std::memory_order_acq_rel)) {
      break;  // this thread loads
    }
  }

  PipeWireAudioApi *api = new (std::nothrow) PipeWireAudioApi{};
  if (api == nullptr) {
    Panic_MemAllocFailure(__FILE__, __LINE__);
  }
  for (const char *name : kLibraryNames) {
    api->handle = dlopen(name, kDlopenFlags);
    if (api->handle != nullptr) {
      break;
    }
  }
  if (api->handle == nullptr) {
    const char *err = dlerror();
    Log_Warning("SOUNDPIPEWIRE: %s: Failed to load PipeWire library: %s\n", __func__,
                err != nullptr ? err : "unknown error");
    lastLoadFailed.store(true, std::memory_order_release);
    ReleaseTable(api);
    return nullptr;
  }
  if (!ResolveAll(api)) {
    lastLoadFailed.store(true, std::memory_order_release);
    ReleaseTable(api);
    return nullptr;
  }
  lastLoadFailed.store(false, std::memory_order_release);
  sharedApi.store(api, std::memory_order_relaxed);
  refCount.store(1, std::memory_order_release);
  loadState.store(kLoaded, std::memory_order_release);
  return api;
}

void SoundUnloadPipewire(PipeWireAudioApi *api) {
  if (api == nullptr) {
    return;
  }
  if (refCount.fetch_sub(1, std::memory_order_acq_rel) != 1) {
    return;
  }
  ReleaseTable(api);
}

SoundPipewireLoaderInfo SoundPipewireGetLoaderInfo(void) {
  SoundPipewireLoaderInfo info{};
  info.loadState = loadState.load(std::memory_order_acquire);
  info.refCount = refCount.load(std::memory_order_acquire);
  PipeWireAudioApi *api = info.loadState == kLoaded ? sharedApi.load(std::memory_order_acquire)
                                                     : nullptr;
  info.handle = api != nullptr ? api->handle : nullptr;
  return info;
}
