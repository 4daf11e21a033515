// Per-thread state: the thread's name, its cached kernel thread id and the
// in-signal counter.
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "lib/thread/vthread_int.h"

namespace {

thread_local char threadName[sw::thread::kNameSize];
thread_local pid_t cachedTid;
thread_local pid_t cachedTidPid;
// Raised by signal handlers of this same thread, hence atomic.
thread_local std::atomic<int> inSignal{0};

}  // namespace

pid_t VThread_CurKernelTid(void) {
  // A forked child keeps the parent's thread-locals: re-read the id when
  // the process changed.
  pid_t pid = getpid();
  if (cachedTid == 0 || cachedTidPid != pid) {
    cachedTid = static_cast<pid_t>(syscall(SYS_gettid));
    cachedTidPid = pid;
  }
  return cachedTid;
}

const char *VThread_CurName(void) {
  if (threadName[0] == '\0') {
    snprintf(threadName, sizeof threadName, "host-%lu",
             static_cast<unsigned long>(VThread_CurKernelTid()));
  }
  return threadName;
}

void VThread_SetName(const char *name) {
  if (name == nullptr) {
    name = "";
  }
  size_t len = strnlen(name, sizeof threadName - 1);
  memcpy(threadName, name, len);
  threadName[len] = '\0';
}

void VThread_SetNamePrefix(const char *prefix) {
  snprintf(threadName, sizeof threadName, "%s-%lu", prefix,
           static_cast<unsigned long>(VThread_CurKernelTid()));
}

VThreadID VThread_CurID(void) { return static_cast<VThreadID>(pthread_self()); }

void VThread_SetIsInSignal(bool on) {
  if (on) {
    inSignal.fetch_add(1, std::memory_order_relaxed);
  } else {
    inSignal.fetch_sub(1, std::memory_order_relaxed);
  }
}

bool VThread_IsInSignal(void) { return inSignal.load(std::memory_order_relaxed) > 0; }
