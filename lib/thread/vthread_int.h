// Internals shared by the VThread files: the registry and the per-thread
// stack accounting.
#pragma once

#include <pthread.h>

#include "lib/thread/vthread.h"

namespace sw::thread {

constexpr size_t kNameSize = 32;  // at most 31 characters and a NUL

// Adds the calling thread to the registry (start routine null for the main
// thread) and logs its registration.
void VThreadRegister(VThreadStartRoutine start);
// Signal mask and kernel name applied to a created thread at its start.
void VThreadSetKernelName(const char *threadName);

}  // namespace sw::thread
