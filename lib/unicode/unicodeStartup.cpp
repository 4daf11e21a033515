// Start-up and release of the code-set service: engine selection, the check
// of the process's encoding and the UTF-8 copies of the argument and
// environment vectors.

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>

#include "lib/misc/codeset.h"
#include "lib/sig/panic.h"
#include "lib/unicode/unicode.h"
#include "lib/unicode/unicodeInt.h"

namespace {

std::atomic<int> gGuard{0};
std::atomic<bool> gInitialized{false};

// count < 0: walk the vector to its null entry.
char **ConvertVector(int count, char **vector, StringEncoding encoding) {
  size_t n = 0;
  if (count >= 0) {
    n = static_cast<size_t>(count);
  } else {
    while (vector[n] != nullptr) {
      n++;
    }
  }
  auto **copy = static_cast<char **>(calloc(n + 1, sizeof(char *)));
  if (copy == nullptr) {
    Panic_MemAllocFailure(__FILE__, __LINE__);
  }
  for (size_t i = 0; i < n; i++) {
    copy[i] = vector[i] != nullptr ? Unicode_AllocWithLength(vector[i], -1, encoding) : nullptr;
  }
  return copy;
}

void FreeVector(int count, char **vector) {
  if (vector == nullptr) {
    return;
  }
  if (count >= 0) {
    for (int i = 0; i < count; i++) {
      free(vector[i]);
    }
  } else {
    for (char **p = vector; *p != nullptr; p++) {
      free(*p);
    }
  }
  free(vector);
}

}  // namespace

void Unicode_Startup(int argc, char ***argv, char ***envp) {
  int expected = 0;
  while (!gGuard.compare_exchange_strong(expected, 1, std::memory_order_acquire)) {
    expected = 0;
    usleep(250 * 1000);
  }
  if (gInitialized.load(std::memory_order_relaxed)) {
    gGuard.store(0, std::memory_order_release);
    return;
  }

  CodeSet_Init(nullptr);

  const char *name = CodeSet_GetCurrentCodeSet();
  int row = UnicodeIANALookup(name);
  if (row < 0 || !kEncodingTable[row].isSupported ||
      !Unicode_NumberIsValid(kEncodingTable[row].encoding)) {
    Panic("Unsupported local character encoding \"%s\".\n", name);
  }
  StringEncoding encoding = kEncodingTable[row].encoding;

  if (argv != nullptr && *argv != nullptr) {
    *argv = ConvertVector(argc, *argv, encoding);
  }
  if (envp != nullptr && *envp != nullptr) {
    *envp = ConvertVector(-1, *envp, encoding);
  }

  gInitialized.store(true, std::memory_order_relaxed);
  gGuard.store(0, std::memory_order_release);
}

void Unicode_Shutdown(int argc, char **argv, char **envp) {
  int savedErrno = errno;
  UnicodeDestroyNameCache();
  FreeVector(argc, argv);
  FreeVector(-1, envp);
  gInitialized.store(false, std::memory_order_relaxed);
  errno = savedErrno;
}
