// The registry of the program's threads ("vThreadHash"), process start-up
// of the facility, joining, diagnostics and the exit rules.
#include <errno.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "lib/lock/userlock.h"
#include "lib/sig/log_hook.h"
#include "lib/sig/panic.h"
#include "lib/thread/vthread_int.h"
#include "lib/user/msg.h"

namespace {

constexpr size_t kBuckets = 1024;
constexpr MX_Rank kHashRank = 0xff000000;

struct VThreadRecord {
  VThreadRecord *next;
  pthread_t handle;
  VThreadID id;
  // The name is copied: a record outlives its thread until it is
  // destroyed, and the thread's own name storage ends with the thread.
  char name[sw::thread::kNameSize];
  VThreadStartRoutine start;
  uintptr_t stackTop;
};

struct Registry {
  VThreadRecord *buckets[kBuckets];
  size_t entries;
};

std::atomic<MXUserRecLock *> hashLockSlot{nullptr};
Registry registry;  // guarded by "vThreadHash"
std::atomic<bool> initialized{false};
std::atomic<const char *> programName{""};
std::atomic<uint64_t> totalStackBytes{0};
thread_local uint64_t ownStackBytes;

MXUserRecLock *HashLock(void) {
  return MXUser_CreateSingletonRecLock(&hashLockSlot, "vThreadHash", kHashRank);
}

size_t Bucket(VThreadID id) { return (id ^ (id >> 12)) % kBuckets; }

VThreadRecord **Find(VThreadID id) {
  VThreadRecord **link = &registry.buckets[Bucket(id)];
  while (*link != nullptr && (*link)->id != id) {
    link = &(*link)->next;
  }
  return link;
}

}  // namespace

namespace sw::thread {

void VThreadRegister(VThreadStartRoutine start) {
  auto *record = static_cast<VThreadRecord *>(calloc(1, sizeof(VThreadRecord)));
  if (record == nullptr) {
    Panic_MemAllocSize(sizeof(VThreadRecord));
  }
  record->handle = pthread_self();
  record->id = VThread_CurID();
  strncpy(record->name, VThread_CurName(), sizeof record->name - 1);
  record->start = start;

  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) == 0) {
    void *base = nullptr;
    size_t size = 0;
    size_t guard = 0;
    if (pthread_attr_getstack(&attr, &base, &size) == 0 &&
        pthread_attr_getguardsize(&attr, &guard) == 0) {
      record->stackTop = reinterpret_cast<uintptr_t>(base) + size;
      ownStackBytes = size > guard ? size - guard : 0;
      totalStackBytes.fetch_add(ownStackBytes);
    }
    pthread_attr_destroy(&attr);
  }

  LogHook_Info("VTHREAD %ld \"%s\" tid %d\n", static_cast<long>(record->id), record->name,
               static_cast<int>(VThread_CurKernelTid()));

  MXUserRecGuard hold(HashLock());
  VThreadRecord **link = Find(record->id);
  if (*link != nullptr) {
    // Registered twice (VThread_Init after a create): keep one record.
    free(record);
    return;
  }
  *link = record;
  registry.entries++;
}

}  // namespace sw::thread

void VThread_Init(const char *programNameIn) {
  bool expected = false;
  if (!initialized.compare_exchange_strong(expected, true)) {
    return;
  }
  char *copy = strdup(programNameIn != nullptr ? programNameIn : "");
  if (copy == nullptr) {
    Panic_MemAllocFailure(__FILE__, __LINE__);
  }
  programName.store(copy);
  HashLock();
  VThread_SetName(copy);
  sw::thread::VThreadRegister(nullptr);
}

const char *VThread_ProgramName(void) { return programName.load(); }

size_t VThread_TotalStackBytes(void) { return static_cast<size_t>(totalStackBytes.load()); }

void VThread_DestroyThread(VThreadID threadId) {
  VThreadRecord *record;
  {
    MXUserRecGuard hold(HashLock());
    VThreadRecord **link = Find(threadId);
    record = *link;
    if (record != nullptr) {
      *link = record->next;
      registry.entries--;
    }
  }
  // Joining an id that was never returned (or was already destroyed) is
  // undefined behaviour in the thread library: stop cleanly instead.
  VERIFY(record != nullptr);
  pthread_t handle = record->handle;
  free(record);
  if (pthread_equal(handle, pthread_self())) {
    pthread_detach(handle);
  } else {
    pthread_join(handle, nullptr);
  }
}

bool VThread_DestroyThreadWithin(VThreadID threadId, unsigned timeoutMs) {
  pthread_t handle;
  {
    MXUserRecGuard hold(HashLock());
    VThreadRecord *record = *Find(threadId);
    VERIFY(record != nullptr);
    handle = record->handle;
  }
  VERIFY(!pthread_equal(handle, pthread_self()));
  // Polls with a non-blocking join against the monotonic clock, so a change
  // of the wall clock neither shortens nor stretches the wait. The poll runs
  // only while something is being stopped; 10 ms steps keep it cheap.
  auto monotonicMs = [] {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
  };
  const int64_t deadlineMs = monotonicMs() + timeoutMs;
  for (;;) {
    int rc = pthread_tryjoin_np(handle, nullptr);
    if (rc == 0) {
      break;
    }
    VERIFY(rc == EBUSY);
    if (monotonicMs() >= deadlineMs) {
      return false;
    }
    struct timespec step = {0, 10 * 1000000L};
    nanosleep(&step, nullptr);
  }
  // Joined: only the record remains.
  MXUserRecGuard hold(HashLock());
  VThreadRecord **link = Find(threadId);
  VThreadRecord *record = *link;
  *link = record->next;
  registry.entries--;
  free(record);
  return true;
}

void VThread_DumpActive(void) {
  MXUserRecGuard hold(HashLock());
  LogHook_Info("VTHREAD begin active threads\n");
  for (VThreadRecord *bucket : registry.buckets) {
    for (VThreadRecord *r = bucket; r != nullptr; r = r->next) {
      LogHook_Info("VTHREAD   name=%s VThreadID=%lu\n", r->name, static_cast<unsigned long>(r->id));
    }
  }
  LogHook_Info("VTHREAD end active threads\n");
}

size_t VThread_ActiveCount(void) {
  MXUserRecGuard hold(HashLock());
  return registry.entries;
}

void VThread_ExitThread(bool clean) {
  Msg_ThreadExit();
  size_t others;
  {
    MXUserRecGuard hold(HashLock());
    bool registered = *Find(VThread_CurID()) != nullptr;
    others = registry.entries - (registered ? 1 : 0);
  }
  if (VThread_IsInSignal()) {
    _exit(1);
  }
  totalStackBytes.fetch_sub(ownStackBytes);
  ownStackBytes = 0;
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, nullptr);
  if (others > 0) {
    pthread_exit(reinterpret_cast<void *>(static_cast<uintptr_t>(clean ? 0 : 1)));
  }
  if (clean) {
    exit(0);
  }
  _exit(1);
}
