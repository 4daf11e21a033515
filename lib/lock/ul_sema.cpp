// Counting semaphores (process-private, initial count 0).
#include <sys/time.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "lib/lock/ul_int.h"
#include "lib/sig/panic.h"

using namespace sw::lock;

namespace {

void MXUserDumpSemaphore(MXUserHeader *header) {
  auto *sema = reinterpret_cast<MXUserSemaphore *>(header);
  LogHook_Warning("%s: semaphore @ %p\n", "MXUserDumpSemaphore", static_cast<void *>(sema));
  MXUserDumpHeader(header);
  LogHook_Warning("\treference count %u\n", sema->activeUserCount.load());
  LogHook_Warning("\taddress of native semaphore %p\n",
                  static_cast<void *>(&sema->nativeSemaphore));
}

[[noreturn]] void InternalError(MXUserSemaphore *sema, const char *caller, int err) {
  MXUserDumpAndPanic(&sema->header, "%s: Internal error (%d)\n", caller, err);
}

MXUserSemaphore *CreateSemaphore(const char *name, MX_Rank rank, const void *creator) {
  auto *sema = static_cast<MXUserSemaphore *>(MXUserAlloc(sizeof(MXUserSemaphore)));
  sema->header.name = MXUserNameOrDefault(name, "Sema", creator);
  if (sem_init(&sema->nativeSemaphore, 0, 0) != 0) {
    Panic("%s: native lock initialization routine failed\n", "MXUser_CreateSemaphore");
  }
  sema->header.signature = MXUserGetSignature(MXUserType::kSemaphore);
  sema->header.rank = rank;
  sema->header.dumpFunc = MXUserDumpSemaphore;
  sema->header.statsFunc = nullptr;
  sema->header.serialNumber = MXUserAllocSerialNumber();
  sema->activeUserCount.store(0);
  MXUserAddToList(&sema->header);
  return sema;
}

// Keeps the active-user count raised for the whole of a down operation.
class ActiveUser {
 public:
  explicit ActiveUser(MXUserSemaphore *sema) : sema_(sema) { sema_->activeUserCount.fetch_add(1); }
  ~ActiveUser() { sema_->activeUserCount.fetch_sub(1); }
  ActiveUser(const ActiveUser &) = delete;
  ActiveUser &operator=(const ActiveUser &) = delete;

 private:
  MXUserSemaphore *sema_;
};

}  // namespace

MXUserSemaphore *MXUser_CreateSemaphore(const char *name, MX_Rank rank) {
  return CreateSemaphore(name, rank, __builtin_return_address(0));
}

void MXUser_DestroySemaphore(MXUserSemaphore *sema) {
  if (sema == nullptr) {
    return;
  }
  if (sema->activeUserCount.load() != 0) {
    MXUserDumpAndPanic(&sema->header, "%s: Attempted destroy on semaphore while in use\n",
                       "MXUser_DestroySemaphore");
  }
  if (sem_destroy(&sema->nativeSemaphore) != 0) {
    InternalError(sema, "MXUser_DestroySemaphore", errno);
  }
  MXUserRemoveFromList(&sema->header);
  sema->header.signature = 0;
  free(sema->header.name);
  free(sema);
}

void MXUser_DownSemaphore(MXUserSemaphore *sema) {
  ActiveUser active(sema);
  while (sem_wait(&sema->nativeSemaphore) != 0) {
    if (errno != EINTR) {
      InternalError(sema, "MXUser_DownSemaphore", errno);
    }
  }
}

bool MXUser_TimedDownSemaphoreNS(MXUserSemaphore *sema, uint64_t nsecWait) {
  ActiveUser active(sema);
  struct timeval now;
  gettimeofday(&now, nullptr);
  uint64_t deadline = static_cast<uint64_t>(now.tv_sec) * 1000000000ULL +
                      static_cast<uint64_t>(now.tv_usec) * 1000ULL + nsecWait;
  struct timespec abs;
  abs.tv_sec = static_cast<time_t>(deadline / 1000000000ULL);
  abs.tv_nsec = static_cast<long>(deadline % 1000000000ULL);
  while (sem_timedwait(&sema->nativeSemaphore, &abs) != 0) {
    if (errno == ETIMEDOUT) {
      return false;
    }
    if (errno != EINTR) {
      InternalError(sema, "MXUser_TimedDownSemaphoreNS", errno);
    }
  }
  return true;
}

bool MXUser_TimedDownSemaphore(MXUserSemaphore *sema, uint32_t msecWait) {
  return MXUser_TimedDownSemaphoreNS(sema, static_cast<uint64_t>(msecWait) * 1000000ULL);
}

bool MXUser_TryDownSemaphore(MXUserSemaphore *sema) {
  ActiveUser active(sema);
  while (sem_trywait(&sema->nativeSemaphore) != 0) {
    if (errno == EAGAIN) {
      return false;
    }
    if (errno != EINTR) {
      InternalError(sema, "MXUser_TryDownSemaphore", errno);
    }
  }
  return true;
}

void MXUser_UpSemaphore(MXUserSemaphore *sema) {
  if (sem_post(&sema->nativeSemaphore) != 0) {
    InternalError(sema, "MXUser_UpSemaphore", errno);
  }
}

MXUserSemaphore *MXUser_CreateSingletonSemaphore(std::atomic<MXUserSemaphore *> *slot,
                                                 const char *name, MX_Rank rank) {
  const void *creator = __builtin_return_address(0);
  return MXUserSingleton(
      slot, [=] { return CreateSemaphore(name, rank, creator); }, MXUser_DestroySemaphore);
}
