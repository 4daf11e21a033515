// Exclusive locks: like recursive ones but without a reference count.
#include <cstdlib>

#include "lib/lock/ul_int.h"
#include "lib/sig/panic.h"

using namespace sw::lock;

namespace {

void MXUserDumpExclLock(MXUserHeader *header) {
  auto *lock = reinterpret_cast<MXUserExclLock *>(header);
  LogHook_Warning("%s: Exclusive lock @ %p\n", "MXUserDumpExclLock", static_cast<void *>(lock));
  MXUserDumpHeader(header);
  LogHook_Warning("\tlock count %d\n", lock->core.lockCount);
  LogHook_Warning("\taddress of owner data %p\n", static_cast<void *>(&lock->core.owner));
}

MXUserExclLock *CreateExclLock(const char *name, MX_Rank rank, const void *creator) {
  auto *lock = static_cast<MXUserExclLock *>(MXUserAlloc(sizeof(MXUserExclLock)));
  lock->header.name = MXUserNameOrDefault(name, "X", creator);
  MXRecLockInit(&lock->core, &lock->header, "MXUser_CreateExclLock");
  lock->header.signature = MXUserGetSignature(MXUserType::kExclLock);
  lock->header.rank = rank;
  lock->header.dumpFunc = MXUserDumpExclLock;
  lock->header.statsFunc = nullptr;
  lock->header.serialNumber = MXUserAllocSerialNumber();
  MXUserAddToList(&lock->header);
  return lock;
}

}  // namespace

MXUserExclLock *MXUser_CreateExclLock(const char *name, MX_Rank rank) {
  return CreateExclLock(name, rank, __builtin_return_address(0));
}

void MXUser_DestroyExclLock(MXUserExclLock *lock) {
  if (lock == nullptr) {
    return;
  }
  if (lock->core.lockCount > 0) {
    MXUserDumpAndPanic(&lock->header, "%s: Destroy of an acquired exclusive lock\n",
                       "MXUser_DestroyExclLock");
  }
  pthread_mutex_destroy(&lock->core.nativeLock);
  MXUserRemoveFromList(&lock->header);
  lock->header.signature = 0;
  free(lock->header.name);
  free(lock);
}

void MXUser_AcquireExclLock(MXUserExclLock *lock) {
  MXRecLockAcquire(&lock->core, &lock->header, "MXUser_AcquireExclLock");
}

void MXUser_ReleaseExclLock(MXUserExclLock *lock) {
  MXRecLockRelease(&lock->core, &lock->header, "MXUser_ReleaseExclLock", "an exclusive");
}

bool MXUser_TryAcquireExclLock(MXUserExclLock *lock) {
  return MXRecLockTryAcquire(&lock->core, &lock->header, "MXUser_TryAcquireExclLock");
}

bool MXUser_IsCurThreadHoldingExclLock(MXUserExclLock *lock) {
  return MXRecLockIsHeldByMe(&lock->core);
}

MXUserExclLock *MXUser_CreateSingletonExclLock(std::atomic<MXUserExclLock *> *slot,
                                               const char *name, MX_Rank rank) {
  const void *creator = __builtin_return_address(0);
  return MXUserSingleton(
      slot, [=] { return CreateExclLock(name, rank, creator); }, MXUser_DestroyExclLock);
}

MXUserCondVar *MXUser_CreateCondVarExclLock(MXUserExclLock *lock) {
  return MXUserCreateCondVar(&lock->header, &lock->core.nativeLock);
}

void MXUser_WaitCondVarExclLock(MXUserExclLock *lock, MXUserCondVar *condVar) {
  MXUserWaitCondVar(&lock->header, &lock->core, condVar, 0, false);
}

void MXUser_TimedWaitCondVarExclLock(MXUserExclLock *lock, MXUserCondVar *condVar,
                                     uint32_t msecWait) {
  MXUserWaitCondVar(&lock->header, &lock->core, condVar, msecWait, true);
}
