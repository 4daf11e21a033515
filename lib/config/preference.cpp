// The layered preference store: six dictionaries consulted in a fixed
// order, loaded once at start-up, then read from any thread under one
// recursive lock.
#include "lib/config/preference.h"

#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lib/config/config.h"
#include "lib/config/preference_internal.h"
#include "lib/config/preference_store.h"
#include "lib/dict/dict_log.h"
#include "lib/lock/userlock.h"
#include "lib/misc/util.h"
#include "lib/user/msg.h"

namespace {

constexpr MX_Rank kPreferenceLockRank = 0xf0007100;

constexpr const char *kLayerTitles[kPrefLayerCount] = {
    "DICT --- GLOBAL SETTINGS %s\n", "DICT --- NON PERSISTENT %s\n",
    "DICT --- USER PREFERENCES %s\n", "DICT --- USER DEFAULTS %s\n",
    "DICT --- HOST DEFAULTS %s\n",    "DICT --- SITE DEFAULTS %s\n",
};

std::atomic<PreferenceStore *> gStore{nullptr};

char *CopyText(const std::string &text) {
  char *copy = strdup(text.c_str());
  return copy;
}

// Reads one layer's file. A missing or broken file is not an error: the
// layer keeps what was read and the problems are logged.
void LoadLayer(PreferenceStore *store, PrefLayer layer) {
  const char *path = store->paths[layer];
  if (path == nullptr) {
    return;
  }
  MsgList *msgs = nullptr;
  if (!DictionaryLoad(store->dicts[layer], path, true, kDictCurrentEncoding, &msgs)) {
    for (const MsgList *m = msgs; m != nullptr; m = m->next) {
      size_t n = strlen(m->text);
      DictLog(kLogInfo, "[%s] %s%s", m->id, m->text, n > 0 && m->text[n - 1] == '\n' ? "" : "\n");
    }
    DictLog(kLogInfo, "PREF Optional preferences file not found at %s. Using default values.\n",
            path);
  }
  MsgList_Free(msgs);
}

void DestroyStore(PreferenceStore *store) {
  if (store == nullptr) {
    return;
  }
  for (size_t i = 0; i < kPrefLayerCount; i++) {
    Dictionary_Free(store->dicts[i]);
    free(store->paths[i]);
  }
  if (store->lock != nullptr) {
    MXUser_DestroyRecLock(store->lock);
  }
  delete store;
}

PreferenceStore *BuildStore(const PreferenceSetup &setup) {
  auto *store = new PreferenceStore();
  store->lock = MXUser_CreateRecLock("preferenceLock", kPreferenceLockRank);
  for (auto &dict : store->dicts) {
    dict = Dictionary_Create();
  }

  std::string hostDir = setup.hostDir != nullptr ? setup.hostDir : "/etc/velmora";
  store->paths[kPrefHostDefaults] = CopyText(hostDir + "/config");
  LoadLayer(store, kPrefHostDefaults);

  Dictionary *host = store->dicts[kPrefHostDefaults];
  bool disableUser = Dictionary_GetBool(host, false, "disableUserPreferences");
  const char *libdir = Dictionary_GetString(host, nullptr, "libdir");
  std::string libDir = libdir != nullptr ? libdir
                       : setup.defaultLibDir != nullptr ? setup.defaultLibDir
                                                        : "/usr/lib/velmora";
  store->paths[kPrefGlobalSettings] = CopyText(libDir + "/settings");
  store->paths[kPrefSiteDefaults] = CopyText(libDir + "/config");

  if (disableUser) {
    DictLog(kLogInfo, "PREF Disabling user preferences because disableUserPreferences is set.\n");
  } else if (setup.userFiles) {
    uid_t real = setup.overrideIds ? setup.realUid : getuid();
    uid_t effective = setup.overrideIds ? setup.effectiveUid : geteuid();
    if (real == effective) {
      store->paths[kPrefUserDefaults] = Util_ExpandString("~/.velmora/config");
      store->paths[kPrefUserPreferences] = Util_ExpandString("~/.velmora/preferences");
    } else {
      DictLog(kLogInfo, "setuid: ignoring user's config and preferences\n");
    }
  }

  LoadLayer(store, kPrefGlobalSettings);
  LoadLayer(store, kPrefSiteDefaults);
  LoadLayer(store, kPrefUserDefaults);
  LoadLayer(store, kPrefUserPreferences);
  return store;
}

}  // namespace

PreferenceStore *PreferenceGetStore(void) { return gStore.load(std::memory_order_acquire); }

bool PreferenceInitWith(const PreferenceSetup &setup) {
  PreferenceStore *store = BuildStore(setup);
  PreferenceStore *expected = nullptr;
  if (!gStore.compare_exchange_strong(expected, store, std::memory_order_acq_rel)) {
    DestroyStore(store);  // another thread installed its store first
  }
  return true;
}

bool Preference_Init(void) {
  PreferenceSetup setup;
  return PreferenceInitWith(setup);
}

bool Preference_InitNoUser(void) {
  PreferenceSetup setup;
  setup.userFiles = false;
  return PreferenceInitWith(setup);
}

void Preference_Exit(void) {
  DestroyStore(gStore.exchange(nullptr, std::memory_order_acq_rel));
}

void Preference_SetNonPersistent(const char *text, bool replace) {
  PreferenceStore *store = PreferenceGetStore();
  if (store == nullptr || text == nullptr) {
    return;
  }
  MXUserRecGuard guard(store->lock);
  Dictionary_SetFromText(store->dicts[kPrefNonPersistent], text, !replace, nullptr);
}

void Preference_Log(void) {
  PreferenceStore *store = PreferenceGetStore();
  if (store == nullptr) {
    return;
  }
  MXUserRecGuard guard(store->lock);
  for (size_t i = 0; i < kPrefLayerCount; i++) {
    bool userLayer = i == kPrefUserPreferences || i == kPrefUserDefaults;
    if (userLayer && store->paths[i] == nullptr) {
      continue;
    }
    DictLog(kLogInfo, kLayerTitles[i], store->paths[i] != nullptr ? store->paths[i] : "(null)");
    Dictionary_Log(store->dicts[i]);
  }
}
