// Condition variables, each bound at creation to one recursive or
// exclusive lock.
#include <sys/time.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "lib/lock/ul_int.h"
#include "lib/sig/panic.h"

namespace sw::lock {

MXUserCondVar *MXUserCreateCondVar(MXUserHeader *header, pthread_mutex_t *mutex) {
  auto *condVar = static_cast<MXUserCondVar *>(MXUserAlloc(sizeof(MXUserCondVar)));
  if (pthread_cond_init(&condVar->condObject, nullptr) != 0) {
    Panic("%s: native lock initialization routine failed\n", "MXUserCreateCondVar");
  }
  condVar->signature = MXUserGetSignature(MXUserType::kCondVar);
  condVar->ownerLock = header;
  condVar->ownerMutex = mutex;
  condVar->referenceCount.store(0);
  return condVar;
}

void MXUserWaitCondVar(MXUserHeader *header, MXRecLockCore *core, MXUserCondVar *condVar,
                       uint32_t msecWait, bool timed) {
  if (condVar->ownerLock != header) {
    MXUserDumpAndPanic(header, "%s: invalid use of lock %s with condVar (0x%p; %s)\n",
                       "MXUserWaitCondVar", header->name, static_cast<void *>(condVar),
                       condVar->ownerLock->name);
  }
  // The native wait needs the native mutex locked by this thread; waiting
  // without holding the lock would be undefined behaviour.
  if (!MXRecLockIsHeldByMe(core)) {
    MXUserDumpAndPanic(header, "%s: lock %s not held while waiting on condVar (0x%p)\n",
                       "MXUserWaitCondVar", header->name, static_cast<void *>(condVar));
  }

  condVar->referenceCount.fetch_add(1);
  int32_t savedCount = core->lockCount;
  core->owner.store(kNoOwner, std::memory_order_relaxed);
  core->lockCount = 0;

  int err;
  if (timed) {
    struct timeval now;
    gettimeofday(&now, nullptr);
    uint64_t deadline = static_cast<uint64_t>(now.tv_sec) * 1000000000ULL +
                        static_cast<uint64_t>(now.tv_usec) * 1000ULL +
                        static_cast<uint64_t>(msecWait) * 1000000ULL;
    struct timespec abs;
    abs.tv_sec = static_cast<time_t>(deadline / 1000000000ULL);
    abs.tv_nsec = static_cast<long>(deadline % 1000000000ULL);
    err = pthread_cond_timedwait(&condVar->condObject, condVar->ownerMutex, &abs);
  } else {
    err = pthread_cond_wait(&condVar->condObject, condVar->ownerMutex);
  }

  core->lockCount += savedCount;
  if (core->lockCount == savedCount) {
    core->owner.store(MXUserSelf(), std::memory_order_relaxed);
  }
  if (err != 0 && err != ETIMEDOUT) {
    MXUserDumpAndPanic(header, "%s: failure %d on condVar (0x%p; %s)\n", "MXUserWaitInternal",
                       err, static_cast<void *>(condVar), header->name);
  }
  condVar->referenceCount.fetch_sub(1);
}

}  // namespace sw::lock

void MXUser_SignalCondVar(MXUserCondVar *condVar) {
  int err = pthread_cond_signal(&condVar->condObject);
  if (err != 0) {
    Panic("%s: failure %d on condVar (0x%p; %s) \n", "MXUser_SignalCondVar", err,
          static_cast<void *>(condVar), condVar->ownerLock->name);
  }
}

void MXUser_BroadcastCondVar(MXUserCondVar *condVar) {
  int err = pthread_cond_broadcast(&condVar->condObject);
  if (err != 0) {
    Panic("%s: failure %d on condVar (0x%p; %s) \n", "MXUser_BroadcastCondVar", err,
          static_cast<void *>(condVar), condVar->ownerLock->name);
  }
}

void MXUser_DestroyCondVar(MXUserCondVar *condVar) {
  if (condVar == nullptr) {
    return;
  }
  if (condVar->referenceCount.load() != 0) {
    Panic("%s: Attempted destroy on active condVar (0x%p; %s)\n", "MXUser_DestroyCondVar",
          static_cast<void *>(condVar), condVar->ownerLock->name);
  }
  condVar->signature = 0;
  pthread_cond_destroy(&condVar->condObject);
  free(condVar);
}
