// Opens libpipewire at run time and resolves the video path's entry points.
#include "capture/pipewire_loader.h"

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>

#include "base/c_owner.h"
#include "lib/config/config.h"
#include "lib/log/log.h"

namespace {

constexpr const char kDefaultLibrary[] = "libpipewire-0.3.so";
// The unversioned name exists only with the development package installed;
// a desktop without it has only the runtime soname.
constexpr const char kRuntimeLibrary[] = "libpipewire-0.3.so.0";

// Owns the library while its entry points are resolved.
using LibraryHandle = COwner<void, dlclose>;

LibraryHandle OpenLibrary(const char *path) {
  Log_Info("Loading PipeWire library from path: %s\n", path);
  return LibraryHandle(dlopen(path, RTLD_LAZY));
}

}  // namespace

int LoadPipeWireLibrary(void **handleSlot, PipeWireApi *api) {
  *handleSlot = nullptr;
  COwner<char, free> path(Config_GetString(kDefaultLibrary, "%s", "sightwell.libPipewire"));
  const char *tried = path ? path.get() : kDefaultLibrary;
  LibraryHandle handle = OpenLibrary(tried);
  if (!handle && strcmp(tried, kDefaultLibrary) == 0) {
    handle = OpenLibrary(kRuntimeLibrary);
  }
  if (!handle) {
    const char *why = dlerror();
    Log_Error("Unable to open libpipewire: %s\n", why != nullptr ? why : "unknown error");
    return -1;
  }
  if (api == nullptr) {
    Log_Error("pwApi is NULL\n");
    return -1;
  }

  // Resolve in table order, storing each entry before the next lookup.
#define SW_RESOLVE(sym)                                                       \
  api->sym = reinterpret_cast<decltype(api->sym)>(dlsym(handle.get(), #sym)); \
  if (api->sym == nullptr) {                                                  \
    Log_Error("Failed to load symbol: %s\n", #sym);                           \
    return -1;                                                                \
  }
  SW_PIPEWIRE_API_ENTRIES(SW_RESOLVE)
#undef SW_RESOLVE

  Log_Info("Using PipeWire version: %s\n", api->pw_get_library_version());
  *handleSlot = handle.release();
  return 0;
}

void UnloadPipeWireLibrary(void *handle) { LibraryHandle closing(handle); }
