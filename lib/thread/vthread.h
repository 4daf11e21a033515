// VThread: the program's own named threads, a registry of live threads, and
// per-thread names for every thread (foreign ones get "host-<tid>").
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

typedef uintptr_t VThreadID;  // the platform thread identifier (pthread_t)
typedef void (*VThreadStartRoutine)(void *data);

void VThread_Init(const char *programName);
bool VThreadCreate(VThreadStartRoutine start, void *data, const char *name,
                   size_t stackSize, VThreadID *threadIdOut);
bool VThreadCreateNamed(VThreadStartRoutine start, void *data, const char *name,
                        VThreadID *threadIdOut);  // default stack size
void VThread_DestroyThread(VThreadID threadId);  // joins (or detaches itself)
// Joins another thread, waiting at most timeoutMs (monotonic clock). false
// when it is still running: the thread stays registered and must still be
// destroyed later.
bool VThread_DestroyThreadWithin(VThreadID threadId, unsigned timeoutMs);
const char *VThread_CurName(void);
void VThread_SetName(const char *name);
void VThread_SetNamePrefix(const char *prefix);  // "%s-%lu" with the kernel tid
VThreadID VThread_CurID(void);
pid_t VThread_CurKernelTid(void);
void VThread_SetIsInSignal(bool inSignal);
bool VThread_IsInSignal(void);
void VThread_SetDefaultStackSize(size_t bytes);
void VThread_SetPriorityBounds(int minimum, int maximum);
typedef void (*VThreadStartHook)(void);
void VThread_SetThreadStartHook(VThreadStartHook hook);
size_t VThread_TotalStackBytes(void);
void VThread_DumpActive(void);
// Number of registered threads (ended but not destroyed ones included).
size_t VThread_ActiveCount(void);
// Ends the calling thread. When no other registered thread remains, ends
// the process instead: exit status 0 when clean, else 1 at once.
[[noreturn]] void VThread_ExitThread(bool clean);
const char *VThread_ProgramName(void);
