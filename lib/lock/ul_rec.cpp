// Recursive locks: reference counted, nestable by their owner.
#include <cstdlib>

#include "lib/lock/ul_int.h"
#include "lib/sig/panic.h"

using namespace sw::lock;

namespace {

void MXUserDumpRecLock(MXUserHeader *header) {
  auto *lock = reinterpret_cast<MXUserRecLock *>(header);
  LogHook_Warning("%s: Recursive lock @ %p\n", "MXUserDumpRecLock", static_cast<void *>(lock));
  MXUserDumpHeader(header);
  LogHook_Warning("\treference count %u\n", lock->refCount.load());
  if (lock->vmmLock == nullptr) {
    LogHook_Warning("\tlock count %d\n", lock->core.lockCount);
    LogHook_Warning("\taddress of owner data %p\n", static_cast<void *>(&lock->core.owner));
  } else {
    LogHook_Warning("\tvmmLock %p\n", lock->vmmLock);
  }
}

void MXUserCondDestroyRecLock(MXUserRecLock *lock) {
  if (lock->core.lockCount > 0) {
    MXUserDumpAndPanic(&lock->header, "%s: Destroy of an acquired recursive lock\n",
                       "MXUserCondDestroyRecLock");
  }
  pthread_mutex_destroy(&lock->core.nativeLock);
  MXUserRemoveFromList(&lock->header);
  lock->header.signature = 0;
  free(lock->header.name);
  free(lock);
}

MXUserRecLock *CreateRecLock(const char *name, MX_Rank rank, const void *creator) {
  auto *lock = static_cast<MXUserRecLock *>(MXUserAlloc(sizeof(MXUserRecLock)));
  lock->header.name = MXUserNameOrDefault(name, "R", creator);
  MXRecLockInit(&lock->core, &lock->header, "MXUser_CreateRecLock");
  lock->header.signature = MXUserGetSignature(MXUserType::kRecLock);
  lock->header.rank = rank;
  lock->header.dumpFunc = MXUserDumpRecLock;
  lock->header.statsFunc = nullptr;
  lock->header.serialNumber = MXUserAllocSerialNumber();
  lock->refCount.store(1);
  lock->vmmLock = nullptr;
  MXUserAddToList(&lock->header);
  return lock;
}

}  // namespace

MXUserRecLock *MXUser_CreateRecLock(const char *name, MX_Rank rank) {
  return CreateRecLock(name, rank, __builtin_return_address(0));
}

void MXUser_DestroyRecLock(MXUserRecLock *lock) {
  if (lock == nullptr) {
    return;
  }
  if (lock->refCount.fetch_sub(1) == 1) {
    MXUserCondDestroyRecLock(lock);
  }
}

void MXUser_IncRefRecLock(MXUserRecLock *lock) { lock->refCount.fetch_add(1); }

void MXUser_AcquireRecLock(MXUserRecLock *lock) {
  MXRecLockAcquire(&lock->core, &lock->header, "MXUser_AcquireRecLock");
}

void MXUser_ReleaseRecLock(MXUserRecLock *lock) {
  MXRecLockRelease(&lock->core, &lock->header, "MXUser_ReleaseRecLock", "a recursive");
}

bool MXUser_TryAcquireRecLock(MXUserRecLock *lock) {
  return MXRecLockTryAcquire(&lock->core, &lock->header, "MXUser_TryAcquireRecLock");
}

bool MXUser_IsCurThreadHoldingRecLock(MXUserRecLock *lock) {
  return MXRecLockIsHeldByMe(&lock->core);
}

MXUserRecLock *MXUser_CreateSingletonRecLock(std::atomic<MXUserRecLock *> *slot,
                                             const char *name, MX_Rank rank) {
  const void *creator = __builtin_return_address(0);
  return MXUserSingleton(
      slot, [=] { return CreateRecLock(name, rank, creator); }, MXUser_DestroyRecLock);
}

MXUserCondVar *MXUser_CreateCondVarRecLock(MXUserRecLock *lock) {
  return MXUserCreateCondVar(&lock->header, &lock->core.nativeLock);
}

void MXUser_WaitCondVarRecLock(MXUserRecLock *lock, MXUserCondVar *condVar) {
  MXUserWaitCondVar(&lock->header, &lock->core, condVar, 0, false);
}

void MXUser_TimedWaitCondVarRecLock(MXUserRecLock *lock, MXUserCondVar *condVar,
                                    uint32_t msecWait) {
  MXUserWaitCondVar(&lock->header, &lock->core, condVar, msecWait, true);
}
