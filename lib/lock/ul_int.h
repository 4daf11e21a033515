// Internals shared by the MXUser objects: the common header, signatures,
// serial numbers, the process-wide object list and the fatal stop.
#pragma once

#include <pthread.h>
#include <semaphore.h>

#include <atomic>
#include <cstdint>

#include "lib/lock/userlock.h"
#include "lib/sig/log_hook.h"

namespace sw::lock {

// Object types, kept in the top 4 bits of a signature.
enum class MXUserType : uint32_t {
  kRecLock = 2,
  kExclLock = 4,
  kSemaphore = 5,
  kCondVar = 6,
};

struct MXUserHeader;
typedef void (*MXUserDumpFunc)(MXUserHeader *);
typedef void (*MXUserStatsFunc)(MXUserHeader *);

struct MXUserListItem {
  MXUserListItem *next;
  MXUserListItem *prev;
};

struct MXUserHeader {
  char *name;
  uint32_t signature;
  MX_Rank rank;
  MXUserDumpFunc dumpFunc;
  MXUserStatsFunc statsFunc;  // statistics are switched off: always null
  MXUserListItem item;
  uint64_t serialNumber;
};

constexpr uintptr_t kNoOwner = ~uintptr_t{0};

// The native part shared by recursive and exclusive locks. The owner is
// atomic because other threads compare it with themselves; the count is
// touched only by the thread holding the native mutex.
struct MXRecLockCore {
  pthread_mutex_t nativeLock;
  int32_t lockCount;
  std::atomic<uintptr_t> owner;
};

uint32_t MXUserGetSignature(MXUserType type);
uint64_t MXUserAllocSerialNumber(void);
void MXUserAddToList(MXUserHeader *header);
void MXUserRemoveFromList(MXUserHeader *header);
// Number of live objects on the process-wide list (diagnostics, tests).
size_t MXUserListLength(void);
// Owned copy of name, or the default "<prefix>-%p" made from the creator's
// return address when name is null.
char *MXUserNameOrDefault(const char *name, const char *prefix, const void *creator);
// Allocation that cannot fail: panics instead of returning null.
void *MXUserAlloc(size_t bytes);

[[noreturn]] void MXUserDumpAndPanic(MXUserHeader *header, const char *fmt, ...) SW_PRINTF(2, 3);
// The header lines every dump shares: signature, name, rank, serial number.
void MXUserDumpHeader(const MXUserHeader *header);

// Returns the object in slot, creating it on first use. Of two threads that
// race to create it, the loser destroys its own and returns the winner's.
template <typename T, typename Create, typename Destroy>
T *MXUserSingleton(std::atomic<T *> *slot, Create create, Destroy destroy) {
  T *object = slot->load(std::memory_order_acquire);
  if (object != nullptr) {
    return object;
  }
  T *fresh = create();
  T *expected = nullptr;
  if (slot->compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) {
    return fresh;
  }
  destroy(fresh);
  return expected;
}

inline uintptr_t MXUserSelf(void) { return static_cast<uintptr_t>(pthread_self()); }

// Acquire/release shared by both lock kinds (re-entry by the owner nests).
void MXRecLockInit(MXRecLockCore *core, MXUserHeader *header, const char *creator);
void MXRecLockAcquire(MXRecLockCore *core, MXUserHeader *header, const char *caller);
bool MXRecLockTryAcquire(MXRecLockCore *core, MXUserHeader *header, const char *caller);
void MXRecLockRelease(MXRecLockCore *core, MXUserHeader *header, const char *caller, const char *kind);
inline bool MXRecLockIsHeldByMe(const MXRecLockCore *core) {
  return core->owner.load(std::memory_order_relaxed) == MXUserSelf();
}

}  // namespace sw::lock

struct MXUserRecLock {
  sw::lock::MXUserHeader header;
  sw::lock::MXRecLockCore core;
  void *statsSlots;  // empty: statistics are off
  std::atomic<uint32_t> refCount;
  void *vmmLock;  // external lock binding; never used by this program
};

struct MXUserExclLock {
  sw::lock::MXUserHeader header;
  sw::lock::MXRecLockCore core;
  void *statsSlots;
};

struct MXUserCondVar {
  uint32_t signature;
  sw::lock::MXUserHeader *ownerLock;
  pthread_mutex_t *ownerMutex;
  pthread_cond_t condObject;
  std::atomic<uint32_t> referenceCount;  // threads waiting
};

struct MXUserSemaphore {
  sw::lock::MXUserHeader header;
  std::atomic<uint32_t> activeUserCount;
  sem_t nativeSemaphore;
  void *statsSlot;
};

// Condition-variable internals used by both lock kinds.
namespace sw::lock {
MXUserCondVar *MXUserCreateCondVar(MXUserHeader *header, pthread_mutex_t *mutex);
void MXUserWaitCondVar(MXUserHeader *header, MXRecLockCore *core, MXUserCondVar *condVar,
                       uint32_t msecWait, bool timed);
}  // namespace sw::lock
