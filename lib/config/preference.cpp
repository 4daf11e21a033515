// The layered preference store: six dictionaries consulted in a fixed
// order, loaded once at start-up, then read from any thread under one
// recursive lock.
#include "lib/config/preference.h"

#include <fcntl.h>
#include <sys/stat.h>
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
#include "lib/misc/unique_fd.h"
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

// A preference file is a page of settings; anything near this size is not
// one, and reading it whole into memory is not wanted.
constexpr off_t kMaxUserFileBytes = 1 << 20;

enum class UserFileRead { kRead, kMissing, kRefused };

// Whether a file or folder is one that only root or the effective user can
// have written.
bool OwnedAndClosed(const struct stat &st, uid_t effective) {
  return (st.st_uid == 0 || st.st_uid == effective) && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Reads a per-user preference file for a process running with root's
// effective uid. Its settings choose libraries to load and files to write,
// so only a file that nobody but root or the effective user can have
// written is read: the folder and the file owned by one of them and not
// writable by group or others, the file regular and reached without a final
// symbolic link (the descriptors checked are the ones read, so nothing can
// be swapped in between). reason (reasonSize bytes) says why a file was
// refused.
UserFileRead ReadTrustedUserFile(const char *path, uid_t effective, std::string *data,
                                 char *reason, size_t reasonSize) {
  std::string folder(path);
  size_t slash = folder.rfind('/');
  std::string name = slash == std::string::npos ? folder : folder.substr(slash + 1);
  folder = slash == std::string::npos ? "." : slash == 0 ? "/" : folder.substr(0, slash);

  UniqueFd dir(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat st;
  if (!dir.valid()) {
    if (errno == ENOENT) return UserFileRead::kMissing;
    snprintf(reason, reasonSize, "its folder cannot be opened safely (%s)", strerror(errno));
    return UserFileRead::kRefused;
  }
  if (fstat(dir.get(), &st) != 0) {
    snprintf(reason, reasonSize, "its folder cannot be examined (%s)", strerror(errno));
    return UserFileRead::kRefused;
  }
  if (!OwnedAndClosed(st, effective)) {
    snprintf(reason, reasonSize, "its folder is owned by uid %u with mode %03o",
             static_cast<unsigned>(st.st_uid), static_cast<unsigned>(st.st_mode & 07777));
    return UserFileRead::kRefused;
  }
  UniqueFd file(openat(dir.get(), name.c_str(),
                       O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!file.valid()) {
    if (errno == ENOENT) return UserFileRead::kMissing;
    snprintf(reason, reasonSize, "%s",
             errno == ELOOP ? "it is a symbolic link" : strerror(errno));
    return UserFileRead::kRefused;
  }
  if (fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    snprintf(reason, reasonSize, "it is not a regular file");
    return UserFileRead::kRefused;
  }
  if (!OwnedAndClosed(st, effective)) {
    snprintf(reason, reasonSize, "it is owned by uid %u with mode %03o",
             static_cast<unsigned>(st.st_uid), static_cast<unsigned>(st.st_mode & 07777));
    return UserFileRead::kRefused;
  }
  if (st.st_size > kMaxUserFileBytes) {
    snprintf(reason, reasonSize, "it is larger than %ld bytes", static_cast<long>(kMaxUserFileBytes));
    return UserFileRead::kRefused;
  }
  data->clear();
  char buf[4096];
  for (;;) {
    ssize_t n = read(file.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      snprintf(reason, reasonSize, "it cannot be read (%s)", strerror(errno));
      return UserFileRead::kRefused;
    }
    if (n == 0) break;
    if (data->size() + static_cast<size_t>(n) > static_cast<size_t>(kMaxUserFileBytes)) {
      snprintf(reason, reasonSize, "it is larger than %ld bytes", static_cast<long>(kMaxUserFileBytes));
      return UserFileRead::kRefused;
    }
    data->append(buf, static_cast<size_t>(n));
  }
  return UserFileRead::kRead;
}

// Reads one layer's file. A missing or broken file is not an error: the
// layer keeps what was read and the problems are logged. While the process
// runs as root, the per-user layers take only files nobody else can write.
void LoadLayer(PreferenceStore *store, PrefLayer layer, uid_t effective) {
  const char *path = store->paths[layer];
  if (path == nullptr) {
    return;
  }
  MsgList *msgs = nullptr;
  bool loaded = false;
  bool userLayer = layer == kPrefUserDefaults || layer == kPrefUserPreferences;
  if (userLayer && effective == 0) {
    std::string data;
    char reason[128];
    switch (ReadTrustedUserFile(path, effective, &data, reason, sizeof reason)) {
      case UserFileRead::kRead:
        loaded = Dictionary_LoadFromBuffer(store->dicts[layer], path, data.data(), data.size(), true,
                                           kDictCurrentEncoding, &msgs);
        break;
      case UserFileRead::kMissing:
        loaded = false;
        break;
      case UserFileRead::kRefused:
        DictLog(kLogWarning, "PREF Ignoring per-user preferences file %s: %s.\n", path, reason);
        return;
    }
  } else {
    loaded = DictionaryLoad(store->dicts[layer], path, true, kDictCurrentEncoding, &msgs);
  }
  if (!loaded) {
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

  uid_t real = setup.overrideIds ? setup.realUid : getuid();
  uid_t effective = setup.overrideIds ? setup.effectiveUid : geteuid();

  std::string hostDir = setup.hostDir != nullptr ? setup.hostDir : "/etc/velmora";
  store->paths[kPrefHostDefaults] = CopyText(hostDir + "/config");
  LoadLayer(store, kPrefHostDefaults, effective);

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
    if (real == effective) {
      store->paths[kPrefUserDefaults] = Util_ExpandString("~/.velmora/config");
      store->paths[kPrefUserPreferences] = Util_ExpandString("~/.velmora/preferences");
    } else {
      DictLog(kLogInfo, "setuid: ignoring user's config and preferences\n");
    }
  }

  LoadLayer(store, kPrefGlobalSettings, effective);
  LoadLayer(store, kPrefSiteDefaults, effective);
  LoadLayer(store, kPrefUserDefaults, effective);
  LoadLayer(store, kPrefUserPreferences, effective);
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
