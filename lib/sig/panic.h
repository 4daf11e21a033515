// Last-resort paths of the support library: Panic, the assertion macros
// that panic with the source position, backtraces and core dumps.
#pragma once

#include <cstddef>
#include <sys/types.h>

#include "lib/sig/log_hook.h"

[[noreturn]] void Panic(const char *fmt, ...) SW_PRINTF(1, 2);

// Panic settings. The start-up reads them from the preferences
// ("coreDumpOnPanic", "panic.loopOnPanic") with Panic_LoadSettings of
// lib/config/preference.h, which sets them here.
void Panic_SetCoreDumpOnPanic(bool on);
void Panic_SetLoopOnPanic(bool on);

// Writes the calling thread's stack to the log at info level (bugNr 0 =
// none).
void Backtrace(int bugNr);
// Dumps core of the running process through a forked copy that aborts; the
// process goes on. Returns the copy's pid when it dumped core, else -1.
pid_t Sig_CoreDump(void);
// Name of the core file the system wrote for pid; caller frees. nullptr when
// none can be found.
char *SigGetCoreFileName(pid_t pid);
// Folder that stands for "/" when the fixed system files
// (/proc/sys/kernel/core_pattern, core_uses_pid) are read; "" or nullptr is
// the real root. Lets tests supply their own kernel settings.
void Sig_SetSystemRoot(const char *root);
// Number of Panic entries so far.
unsigned Panic_Count(void);

// Source path relative to the tree root and without extension, as the
// assertion texts print it ("lib/string/str").
const char *Panic_SourcePath(const char *file, char *buf, size_t bufSize);

[[noreturn]] void Panic_Verify(const char *file, int line);
[[noreturn]] void Panic_VerifyBug(const char *file, int line, int bugNr);
[[noreturn]] void Panic_NotImplemented(const char *file, int line);
[[noreturn]] void Panic_NotReached(const char *file, int line);
[[noreturn]] void Panic_BufferTooSmall(const char *file, int line);
[[noreturn]] void Panic_MemAllocFailure(const char *file, unsigned line);
[[noreturn]] void Panic_MemAllocSize(size_t bytes);

#define VERIFY(cond) \
  do { if (__builtin_expect(!(cond), 0)) Panic_Verify(__FILE__, __LINE__); } while (0)
#define VERIFY_BUG(cond, bug) \
  do { if (__builtin_expect(!(cond), 0)) Panic_VerifyBug(__FILE__, __LINE__, (bug)); } while (0)
#define NOT_IMPLEMENTED() Panic_NotImplemented(__FILE__, __LINE__)
#define NOT_REACHED() Panic_NotReached(__FILE__, __LINE__)
