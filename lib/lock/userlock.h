// MXUser: named, ranked locks, condition variables and semaphores with
// signatures, serial numbers and a process-wide list for diagnostics.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

typedef uint32_t MX_Rank;

struct MXUserRecLock;
struct MXUserExclLock;
struct MXUserCondVar;
struct MXUserSemaphore;

// Recursive locks.
MXUserRecLock *MXUser_CreateRecLock(const char *name, MX_Rank rank);
void MXUser_DestroyRecLock(MXUserRecLock *lock);
void MXUser_AcquireRecLock(MXUserRecLock *lock);
void MXUser_ReleaseRecLock(MXUserRecLock *lock);
bool MXUser_TryAcquireRecLock(MXUserRecLock *lock);
bool MXUser_IsCurThreadHoldingRecLock(MXUserRecLock *lock);
// Adds a reference; each MXUser_DestroyRecLock drops one, the last frees.
void MXUser_IncRefRecLock(MXUserRecLock *lock);
MXUserRecLock *MXUser_CreateSingletonRecLock(std::atomic<MXUserRecLock *> *slot,
                                             const char *name, MX_Rank rank);

// Exclusive locks.
MXUserExclLock *MXUser_CreateExclLock(const char *name, MX_Rank rank);
void MXUser_DestroyExclLock(MXUserExclLock *lock);
void MXUser_AcquireExclLock(MXUserExclLock *lock);
void MXUser_ReleaseExclLock(MXUserExclLock *lock);
bool MXUser_TryAcquireExclLock(MXUserExclLock *lock);
bool MXUser_IsCurThreadHoldingExclLock(MXUserExclLock *lock);
MXUserExclLock *MXUser_CreateSingletonExclLock(std::atomic<MXUserExclLock *> *slot,
                                               const char *name, MX_Rank rank);

// Condition variables, each bound to one lock.
MXUserCondVar *MXUser_CreateCondVarRecLock(MXUserRecLock *lock);
MXUserCondVar *MXUser_CreateCondVarExclLock(MXUserExclLock *lock);
void MXUser_WaitCondVarRecLock(MXUserRecLock *lock, MXUserCondVar *condVar);
void MXUser_WaitCondVarExclLock(MXUserExclLock *lock, MXUserCondVar *condVar);
void MXUser_TimedWaitCondVarRecLock(MXUserRecLock *lock, MXUserCondVar *condVar, uint32_t msecWait);
void MXUser_TimedWaitCondVarExclLock(MXUserExclLock *lock, MXUserCondVar *condVar, uint32_t msecWait);
void MXUser_SignalCondVar(MXUserCondVar *condVar);
void MXUser_BroadcastCondVar(MXUserCondVar *condVar);
void MXUser_DestroyCondVar(MXUserCondVar *condVar);

// Semaphores.
MXUserSemaphore *MXUser_CreateSemaphore(const char *name, MX_Rank rank);
void MXUser_DestroySemaphore(MXUserSemaphore *sema);
void MXUser_DownSemaphore(MXUserSemaphore *sema);
bool MXUser_TimedDownSemaphore(MXUserSemaphore *sema, uint32_t msecWait);
bool MXUser_TimedDownSemaphoreNS(MXUserSemaphore *sema, uint64_t nsecWait);
bool MXUser_TryDownSemaphore(MXUserSemaphore *sema);
void MXUser_UpSemaphore(MXUserSemaphore *sema);
MXUserSemaphore *MXUser_CreateSingletonSemaphore(std::atomic<MXUserSemaphore *> *slot,
                                                 const char *name, MX_Rank rank);

// Number of live MXUser objects in the process (diagnostics).
size_t MXUser_ListLength(void);

// RAII holders for the agent's own code.
class MXUserExclGuard {
 public:
  explicit MXUserExclGuard(MXUserExclLock *lock) : lock_(lock) { MXUser_AcquireExclLock(lock_); }
  ~MXUserExclGuard() { MXUser_ReleaseExclLock(lock_); }
  MXUserExclGuard(const MXUserExclGuard &) = delete;
  MXUserExclGuard &operator=(const MXUserExclGuard &) = delete;
 private:
  MXUserExclLock *lock_;
};

class MXUserRecGuard {
 public:
  explicit MXUserRecGuard(MXUserRecLock *lock) : lock_(lock) { MXUser_AcquireRecLock(lock_); }
  ~MXUserRecGuard() { MXUser_ReleaseRecLock(lock_); }
  MXUserRecGuard(const MXUserRecGuard &) = delete;
  MXUserRecGuard &operator=(const MXUserRecGuard &) = delete;
 private:
  MXUserRecLock *lock_;
};
