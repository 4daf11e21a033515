// Acquire and release shared by recursive and exclusive locks: re-entry by
// the owner only counts and never touches the native mutex.
#include <cerrno>

#include "lib/lock/ul_int.h"
#include "lib/sig/panic.h"

namespace sw::lock {

void MXRecLockInit(MXRecLockCore *core, MXUserHeader *header, const char *creator) {
  // A plain (non-recursive) native mutex: nesting is counted here.
  int err = pthread_mutex_init(&core->nativeLock, nullptr);
  if (err != 0) {
    Panic("%s: native lock initialization routine failed\n", creator);
  }
  (void)header;
  core->lockCount = 0;
  core->owner.store(kNoOwner, std::memory_order_relaxed);
}

void MXRecLockAcquire(MXRecLockCore *core, MXUserHeader *header, const char *caller) {
  uintptr_t self = MXUserSelf();
  if (core->owner.load(std::memory_order_relaxed) == self) {
    core->lockCount++;
    return;
  }
  int err = pthread_mutex_lock(&core->nativeLock);
  if (err != 0) {
    MXUserDumpAndPanic(header, "%s: Internal error (%d)\n", caller, err);
  }
  if (++core->lockCount == 1) {
    core->owner.store(self, std::memory_order_relaxed);
  }
}

bool MXRecLockTryAcquire(MXRecLockCore *core, MXUserHeader *header, const char *caller) {
  uintptr_t self = MXUserSelf();
  if (core->owner.load(std::memory_order_relaxed) == self) {
    core->lockCount++;
    return true;
  }
  int err = pthread_mutex_trylock(&core->nativeLock);
  if (err == EBUSY) {
    return false;
  }
  if (err != 0) {
    MXUserDumpAndPanic(header, "%s: Internal error (%d)\n", caller, err);
  }
  if (++core->lockCount == 1) {
    core->owner.store(self, std::memory_order_relaxed);
  }
  return true;
}

void MXRecLockRelease(MXRecLockCore *core, MXUserHeader *header, const char *caller,
                      const char *kind) {
  // Releasing a lock held by another thread (or by nobody) would corrupt
  // the count and unlock a mutex this thread does not own.
  if (core->owner.load(std::memory_order_relaxed) != MXUserSelf()) {
    MXUserDumpAndPanic(header, "%s: Non-owner release of %s lock\n", caller, kind);
  }
  if (--core->lockCount == 0) {
    core->owner.store(kNoOwner, std::memory_order_relaxed);
    int err = pthread_mutex_unlock(&core->nativeLock);
    if (err != 0) {
      MXUserDumpAndPanic(header, "%s: Internal error (%d)\n", caller, err);
    }
  }
}

}  // namespace sw::lock
