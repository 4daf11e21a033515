// Common machinery of the MXUser objects: signatures, serial numbers, the
// process-wide list of live objects, and the dump-then-stop of misuse.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "lib/lock/ul_int.h"
#include "lib/sig/panic.h"

namespace sw::lock {

namespace {

std::atomic<uint32_t> signatureBase{0};
std::atomic<uint64_t> serialCounter{1};
std::atomic<uint32_t> fatalStops{0};

// Ring of every live object; the head is a sentinel. The guard is a plain
// recursive native mutex, created on first use (it cannot itself be an
// MXUser lock: creating one adds to this list).
MXUserListItem listHead{&listHead, &listHead};
size_t listLength = 0;
std::atomic<pthread_mutex_t *> listLock{nullptr};

pthread_mutex_t *ListLock(void) {
  pthread_mutex_t *lock = listLock.load(std::memory_order_acquire);
  if (lock != nullptr) {
    return lock;
  }
  auto *fresh = static_cast<pthread_mutex_t *>(MXUserAlloc(sizeof(pthread_mutex_t)));
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(fresh, &attr);
  pthread_mutexattr_destroy(&attr);
  pthread_mutex_t *expected = nullptr;
  if (listLock.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) {
    return fresh;
  }
  pthread_mutex_destroy(fresh);
  free(fresh);
  return expected;
}

}  // namespace

void *MXUserAlloc(size_t bytes) {
  void *p = calloc(1, bytes);
  if (p == nullptr) {
    Panic_MemAllocSize(bytes);
  }
  return p;
}

uint32_t MXUserGetSignature(MXUserType type) {
  uint32_t base = signatureBase.load(std::memory_order_acquire);
  if (base == 0) {
    uint32_t fresh = static_cast<uint32_t>(time(nullptr)) & 0x0FFFFFFF;
    if (fresh == 0) {
      fresh = 1;
    }
    uint32_t expected = 0;
    base = signatureBase.compare_exchange_strong(expected, fresh) ? fresh : expected;
  }
  return (static_cast<uint32_t>(type) << 28) | base;
}

uint64_t MXUserAllocSerialNumber(void) {
  uint64_t value = serialCounter.fetch_add(1);
  if (value == 0) {
    Panic("%s: too many locks!\n", "MXUserAllocSerialNumber");
  }
  return value;
}

void MXUserAddToList(MXUserHeader *header) {
  pthread_mutex_t *lock = ListLock();
  pthread_mutex_lock(lock);
  MXUserListItem *item = &header->item;
  item->next = listHead.next;
  item->prev = &listHead;
  listHead.next->prev = item;
  listHead.next = item;
  listLength++;
  pthread_mutex_unlock(lock);
}

void MXUserRemoveFromList(MXUserHeader *header) {
  pthread_mutex_t *lock = ListLock();
  pthread_mutex_lock(lock);
  MXUserListItem *item = &header->item;
  if (item->next != nullptr) {
    item->prev->next = item->next;
    item->next->prev = item->prev;
    item->next = item->prev = nullptr;
    listLength--;
  }
  pthread_mutex_unlock(lock);
}

size_t MXUserListLength(void) {
  pthread_mutex_t *lock = ListLock();
  pthread_mutex_lock(lock);
  size_t n = listLength;
  pthread_mutex_unlock(lock);
  return n;
}

char *MXUserNameOrDefault(const char *name, const char *prefix, const void *creator) {
  char *result;
  if (name != nullptr) {
    result = strdup(name);
  } else if (asprintf(&result, "%s-%p", prefix, creator) < 0) {
    result = nullptr;
  }
  if (result == nullptr) {
    Panic_MemAllocFailure(__FILE__, __LINE__);
  }
  return result;
}

void MXUserDumpHeader(const MXUserHeader *header) {
  LogHook_Warning("\tsignature 0x%X\n", header->signature);
  LogHook_Warning("\tname %s\n", header->name);
  LogHook_Warning("\trank 0x%X\n", header->rank);
  LogHook_Warning("\tserial number %lu\n", static_cast<unsigned long>(header->serialNumber));
}

void MXUserDumpAndPanic(MXUserHeader *header, const char *fmt, ...) {
  // From the sixth stop on an installed panic hook would run first; this
  // program installs none.
  fatalStops.fetch_add(1);
  if (header != nullptr && header->dumpFunc != nullptr) {
    header->dumpFunc(header);
  }
  char message[1024];
  va_list args;
  va_start(args, fmt);
  vsnprintf(message, sizeof message, fmt, args);
  va_end(args);
  Panic("%s", message);
}

}  // namespace sw::lock

size_t MXUser_ListLength(void) { return sw::lock::MXUserListLength(); }
