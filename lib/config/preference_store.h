// The store behind the preference getters (internal to lib/config).
#pragma once

#include <array>

#include "lib/dict/dictionary.h"

struct MXUserRecLock;

// Layers in precedence order: the first that defines a key answers.
enum PrefLayer : size_t {
  kPrefGlobalSettings = 0,
  kPrefNonPersistent = 1,
  kPrefUserPreferences = 2,
  kPrefUserDefaults = 3,
  kPrefHostDefaults = 4,
  kPrefSiteDefaults = 5,
  kPrefLayerCount = 6,
};

struct PreferenceStore {
  MXUserRecLock *lock = nullptr;  // "preferenceLock"
  std::array<Dictionary *, kPrefLayerCount> dicts{};
  std::array<char *, kPrefLayerCount> paths{};  // null: the layer has no file
};

// The installed store, or null before Preference_Init.
PreferenceStore *PreferenceGetStore(void);
