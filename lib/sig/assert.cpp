// Assertion panics of the support library: each names the source position
// as a path relative to the tree root, without extension.
#include <cstring>
#include <string>
#include <vector>

#include "lib/sig/panic.h"

#ifndef SIGHTWELL_SOURCE_ROOT
#define SIGHTWELL_SOURCE_ROOT ""
#endif
#ifndef SIGHTWELL_BUILD_ROOT
#define SIGHTWELL_BUILD_ROOT ""
#endif

namespace {

// Lexically resolves "." and ".." components of an absolute path in place.
void Normalize(std::string *path) {
  std::vector<std::string> parts;
  size_t pos = 0;
  while (pos <= path->size()) {
    size_t slash = path->find('/', pos);
    if (slash == std::string::npos) {
      slash = path->size();
    }
    std::string part = path->substr(pos, slash - pos);
    if (part == "..") {
      if (!parts.empty()) {
        parts.pop_back();
      }
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    pos = slash + 1;
  }
  std::string out;
  for (const auto &part : parts) {
    out += '/';
    out += part;
  }
  *path = out;
}

}  // namespace

const char *Panic_SourcePath(const char *fileIn, char *buf, size_t bufSize) {
  if (bufSize == 0) {
    return "";
  }
  // The compiler names a file as the build was given it: absolute, or
  // relative to the build folder (Ninja). Both are brought back to a path
  // from the tree root.
  std::string path = fileIn;
  const char *buildRoot = SIGHTWELL_BUILD_ROOT;
  if (!path.empty() && path[0] != '/' && buildRoot[0] == '/') {
    path = buildRoot + path;
    Normalize(&path);
  }
  std::string root = SIGHTWELL_SOURCE_ROOT;
  if (!root.empty() && root[0] == '/') {
    Normalize(&root);
    root += '/';
  }
  const char *file = path.c_str();
  if (root.size() > 1 && path.compare(0, root.size(), root) == 0) {
    file += root.size();
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
