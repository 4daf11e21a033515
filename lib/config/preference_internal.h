// Building the preference store from explicit locations. Preference_Init
// uses the product's fixed paths; tests point the store at a folder of
// their own through this seam.
#pragma once

#include <sys/types.h>

struct PreferenceSetup {
  // Directory of the HOST DEFAULTS file ("config" inside it).
  const char *hostDir = "/etc/velmora";
  // Library directory used when HOST DEFAULTS has no "libdir".
  const char *defaultLibDir = "/usr/lib/velmora";
  // Whether the two per-user files (~/.velmora/...) may be read.
  bool userFiles = true;
  // The ids compared by the setuid rule; the process's own when false.
  bool overrideIds = false;
  uid_t realUid = 0;
  uid_t effectiveUid = 0;
};

// Builds a store and installs it unless one is installed already (then the
// new one is destroyed). Returns true.
bool PreferenceInitWith(const PreferenceSetup &setup);
