// Assertion panics of the support library: each names the source position
// as a path relative to the tree root, without extension.
#include <cstring>

#include "lib/sig/panic.h"

#ifndef SIGHTWELL_SOURCE_ROOT
#define SIGHTWELL_SOURCE_ROOT ""
#endif

const char *Panic_SourcePath(const char *file, char *buf, size_t bufSize) {
  if (bufSize == 0) {
    return "";
  }
  const char *root = SIGHTWELL_SOURCE_ROOT;
  size_t rootLen = strlen(root);
  if (rootLen > 0 && strncmp(file, root, rootLen) == 0) {
    file += rootLen;
  }
  const char *slash = strrchr(file, '/');
  const char *dot = strrchr(file, '.');
  size_t len = strlen(file);
  if (dot != nullptr && (slash == nullptr || dot > slash)) {
    len = static_cast<size_t>(dot - file);
  }
  if (len >= bufSize) {
    len = bufSize - 1;
  }
  memcpy(buf, file, len);
  buf[len] = '\0';
  return buf;
}

namespace {

struct SourcePath {
  explicit SourcePath(const char *file) { Panic_SourcePath(file, buf, sizeof buf); }
  char buf[512];
};

}  // namespace

void Panic_Verify(const char *file, int line) {
  Panic("VERIFY %s:%d\n", SourcePath(file).buf, line);
}

void Panic_VerifyBug(const char *file, int line, int bugNr) {
  Panic("VERIFY %s:%d bugNr=%d\n", SourcePath(file).buf, line, bugNr);
}

void Panic_NotImplemented(const char *file, int line) {
  Panic("NOT_IMPLEMENTED %s:%d\n", SourcePath(file).buf, line);
}

void Panic_NotReached(const char *file, int line) {
  Panic("NOT_REACHED %s:%d\n", SourcePath(file).buf, line);
}

void Panic_BufferTooSmall(const char *file, int line) {
  Panic("%s:%d Buffer too small\n", SourcePath(file).buf, line);
}

void Panic_MemAllocFailure(const char *file, unsigned line) {
  Panic("Unrecoverable memory allocation failure at %s:%u\n", SourcePath(file).buf, line);
}

void Panic_MemAllocSize(size_t bytes) {
  Panic("Unrecoverable memory allocation failure, %zu bytes attempted\n", bytes);
}
