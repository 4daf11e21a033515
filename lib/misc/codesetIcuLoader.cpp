// Run-time loading of ICU's common library. ICU's sonames carry the major
// version (libicuuc.so.72 on one release, .76 on the next) and so do its
// exported symbols (ucnv_open_72), so both are probed.

#include <dlfcn.h>

#include <atomic>
#include <cstdio>
#include <mutex>

#include "lib/misc/codesetIcu.h"
#include "lib/sig/log_hook.h"

namespace {

// Majors probed after the one the agent was built with, newest first.
constexpr int kPreferredMajor = 72;
constexpr int kNewestMajor = 90;
constexpr int kOldestMajor = 44;

void *ResolveSymbol(void *lib, const char *name, int major) {
  char versioned[128];
  snprintf(versioned, sizeof versioned, "%s_%d", name, major);
  void *sym = dlsym(lib, versioned);
  return sym != nullptr ? sym : dlsym(lib, name);
}

template <typename Fn>
bool Resolve(void *lib, const char *name, int major, Fn *slot) {
  *slot = reinterpret_cast<Fn>(ResolveSymbol(lib, name, major));
  return *slot != nullptr;
}

bool ResolveAll(void *lib, int major, IcuApi *api) {
  api->version = major;
  return Resolve(lib, "ucnv_open", major, &api->ucnv_open) &&
         Resolve(lib, "ucnv_close", major, &api->ucnv_close) &&
         Resolve(lib, "ucnv_convertEx", major, &api->ucnv_convertEx) &&
         Resolve(lib, "ucnv_setToUCallBack", major, &api->ucnv_setToUCallBack) &&
         Resolve(lib, "ucnv_setFromUCallBack", major, &api->ucnv_setFromUCallBack) &&
         Resolve(lib, "u_setDataDirectory", major, &api->u_setDataDirectory) &&
         Resolve(lib, "UCNV_TO_U_CALLBACK_STOP", major, &api->toUStop) &&
         Resolve(lib, "UCNV_FROM_U_CALLBACK_STOP", major, &api->fromUStop) &&
         Resolve(lib, "UCNV_TO_U_CALLBACK_SUBSTITUTE", major, &api->toUSubstitute) &&
         Resolve(lib, "UCNV_FROM_U_CALLBACK_SUBSTITUTE", major, &api->fromUSubstitute) &&
         Resolve(lib, "UCNV_TO_U_CALLBACK_ESCAPE", major, &api->toUEscape) &&
         Resolve(lib, "UCNV_FROM_U_CALLBACK_ESCAPE", major, &api->fromUEscape);
}

bool TryMajor(int major, IcuApi *api) {
  char soname[64];
  snprintf(soname, sizeof soname, "libicuuc.so.%d", major);
  void *lib = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) {
    return false;
  }
  if (!ResolveAll(lib, major, api)) {
    LogHook_Warning("CodeSet: %s lacks converter entry points; not used\n", soname);
    dlclose(lib);
    return false;
  }
  return true;  // stays loaded for the life of the process
}

IcuApi gApi;
const IcuApi *gLoaded = nullptr;
std::once_flag gOnce;

}  // namespace

const IcuApi *CodeSetIcuApi(void) {
  std::call_once(gOnce, [] {
    if (TryMajor(kPreferredMajor, &gApi)) {
      gLoaded = &gApi;
      return;
    }
    for (int major = kNewestMajor; major >= kOldestMajor; major--) {
      if (major != kPreferredMajor && TryMajor(major, &gApi)) {
        gLoaded = &gApi;
        return;
      }
    }
    LogHook_Info("CodeSet: no ICU common library found; using iconv\n");
  });
  return gLoaded;
}
