// Starting the program's threads: the creator and the new thread hand over
// through a "VThreadCreate" semaphore, so VThreadCreate returns only once
// the thread is registered and its id stored.
#include <sched.h>
#include <signal.h>
#include <sys/time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "lib/lock/userlock.h"
#include "lib/sig/log_hook.h"
#include "lib/thread/vthread_int.h"
#include "lib/user/msg.h"

namespace {

constexpr MX_Rank kCreateRank = 0xff000000;
constexpr size_t kKernelNameBytes = 15;

struct StartRecord {
  VThreadStartRoutine start;
  void *data;
  size_t stackSize;
  char name[sw::thread::kNameSize];
  MXUserSemaphore *startSema;
  VThreadID *idSlot;
  struct itimerval profTimer;
  struct itimerval virtTimer;
  sigset_t signalMask;
};

std::atomic<size_t> defaultStackSize{0};
std::atomic<bool> priorityBoundsSet{false};
std::atomic<int> priorityMin{0};
std::atomic<int> priorityMax{0};
std::atomic<VThreadStartHook> startHook{nullptr};

void ApplyPriority(void) {
  int priority = 0;
  if (priorityBoundsSet.load()) {
    priority = std::max(priority, priorityMin.load());
    priority = std::min(priority, priorityMax.load());
  }
  struct sched_param param {};
  param.sched_priority = priority;
  int err = pthread_setschedparam(pthread_self(), SCHED_OTHER, &param);
  if (err != 0) {
    LogHook_Info("VTHREAD pthread_setschedparam failed: %s\n", strerror(err));
  }
}

void *VThreadStart(void *arg) {
  // The creator's record lives only until the semaphore is upped.
  StartRecord record = *static_cast<StartRecord *>(arg);

  if (record.name[0] != '\0') {
    VThread_SetName(record.name);
  } else {
    VThread_SetNamePrefix("vthread");
  }
  if (record.idSlot != nullptr) {
    *record.idSlot = VThread_CurID();
  }
  sw::thread::VThreadRegister(record.start);
  MXUser_UpSemaphore(record.startSema);

  ApplyPriority();
  pthread_sigmask(SIG_SETMASK, &record.signalMask, nullptr);
  // No per-thread signal dispatch set-up: the program does not use the
  // signal-dispatch framework.
  sw::thread::VThreadSetKernelName(VThread_CurName());
  if (VThreadStartHook hook = startHook.load()) {
    hook();
  }
  setitimer(ITIMER_PROF, &record.profTimer, nullptr);
  setitimer(ITIMER_VIRTUAL, &record.virtTimer, nullptr);

  record.start(record.data);
  VThread_ExitThread(true);
}

}  // namespace

namespace sw::thread {

void VThreadSetKernelName(const char *threadName) {
  char kernelName[64];
  snprintf(kernelName, sizeof kernelName, "%s-%s", VThread_ProgramName(), threadName);
  kernelName[kKernelNameBytes] = '\0';  // the kernel keeps 15 bytes
  pthread_setname_np(pthread_self(), kernelName);
}

}  // namespace sw::thread

bool VThreadCreate(VThreadStartRoutine start, void *data, const char *name, size_t stackSize,
                   VThreadID *threadIdOut) {
  StartRecord record{};
  record.start = start;
  record.data = data;
  record.stackSize = stackSize;
  record.idSlot = threadIdOut;
  record.startSema = MXUser_CreateSemaphore("VThreadCreate", kCreateRank);
  if (name != nullptr) {
    strncpy(record.name, name, sizeof record.name - 1);
  }
  getitimer(ITIMER_PROF, &record.profTimer);
  getitimer(ITIMER_VIRTUAL, &record.virtTimer);

  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_JOINABLE);
  size_t size = stackSize != 0 ? stackSize : defaultStackSize.load();
  if (size != 0) {
    int err = pthread_attr_setstacksize(&attr, size);
    if (err != 0) {
      LogHook_Warning("Could not set child thread stack size to %zu: %s\n", size, strerror(err));
    }
  }

  // The new thread starts with every signal blocked and restores the
  // creator's mask itself once it is set up.
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &record.signalMask);
  pthread_t handle;
  int err = pthread_create(&handle, &attr, VThreadStart, &record);
  pthread_sigmask(SIG_SETMASK, &record.signalMask, nullptr);
  pthread_attr_destroy(&attr);

  if (err != 0) {
    Msg_Append("@&!*@*@(msg.vthreadPosix.createThreadFailed)Cannot start thread: %s\n",
               strerror(err));
    MXUser_DestroySemaphore(record.startSema);
    if (threadIdOut != nullptr) {
      *threadIdOut = 0;
    }
    return false;
  }
  MXUser_DownSemaphore(record.startSema);
  MXUser_DestroySemaphore(record.startSema);
  return true;
}

bool VThreadCreateNamed(VThreadStartRoutine start, void *data, const char *name,
                        VThreadID *threadIdOut) {
  return VThreadCreate(start, data, name, 0, threadIdOut);
}

void VThread_SetDefaultStackSize(size_t bytes) { defaultStackSize.store(bytes); }

void VThread_SetPriorityBounds(int minimum, int maximum) {
  priorityMin.store(minimum);
  priorityMax.store(maximum);
  priorityBoundsSet.store(true);
}

void VThread_SetThreadStartHook(VThreadStartHook hook) { startHook.store(hook); }
