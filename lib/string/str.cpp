// Bounded string copies and formats. A result that does not fit its
// destination is a programming error, so it panics instead of silently
// cutting the text.
#include "lib/string/str.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib/sig/panic.h"

namespace {

// Length of the longest prefix of buf[0..len) that does not end in a
// partial UTF-8 sequence, so a cut result never ends mid-character.
size_t Utf8Boundary(const char *buf, size_t len) {
  size_t start = len;
  size_t back = 0;
  while (start > 0 && back < 4 && (static_cast<unsigned char>(buf[start - 1]) & 0xC0) == 0x80) {
    start--;
    back++;
  }
  if (start == 0) {
    return len;  // no lead byte in reach: not UTF-8, leave it
  }
  unsigned char lead = static_cast<unsigned char>(buf[start - 1]);
  size_t need = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
  return back + 1 < need ? start - 1 : len;
}

}  // namespace

char *Str_Strcpy(char *dst, const char *src, size_t size) {
  size_t len = strlen(src);
  if (len >= size) {
    Panic_BufferTooSmall(__FILE__, __LINE__);
  }
  return static_cast<char *>(memmove(dst, src, len + 1));
}

char *Str_Strcat(char *dst, const char *src, size_t size) {
  size_t dstLen = strnlen(dst, size);
  if (dstLen >= size) {  // dst itself is not terminated within size
    Panic_BufferTooSmall(__FILE__, __LINE__);
  }
  size_t srcLen = strlen(src);
  if (srcLen >= size - dstLen) {
    Panic_BufferTooSmall(__FILE__, __LINE__);
  }
  memmove(dst + dstLen, src, srcLen + 1);
  return dst;
}

char *Str_Strncpy(char *dst, size_t size, const char *src, size_t n) {
  size_t len = strnlen(src, n);
  if (len >= size) {
    Panic_BufferTooSmall(__FILE__, __LINE__);
  }
  memmove(dst, src, len);
  dst[len] = '\0';
  return dst;
}

int Str_Vsnprintf(char *buf, size_t size, const char *fmt, va_list args) {
  if (size == 0) {
    return -1;
  }
  int n = vsnprintf(buf, size, fmt, args);
  if (n < 0) {
    buf[0] = '\0';
    return -1;
  }
  if (static_cast<size_t>(n) >= size) {
    buf[Utf8Boundary(buf, size - 1)] = '\0';
    return -1;
  }
  return n;
}

int Str_Snprintf(char *buf, size_t size, const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  int n = Str_Vsnprintf(buf, size, fmt, args);
  va_end(args);
  return n;
}

int Str_Sprintf(char *buf, size_t size, const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  int n = size == 0 ? -1 : vsnprintf(buf, size, fmt, args);
  va_end(args);
  if (n < 0 || static_cast<size_t>(n) >= size) {
    Panic_BufferTooSmall(__FILE__, __LINE__);
  }
  return n;
}

char *Str_Vasprintf(size_t *length, const char *fmt, va_list args) {
  char *result = nullptr;
  int n = vasprintf(&result, fmt, args);
  if (n < 0) {
    if (errno == ENOMEM) {
      Panic_MemAllocFailure(__FILE__, __LINE__);
    }
    // A conversion error (bad multibyte data) is not an allocation
    // failure: give the caller an empty text rather than a lie.
    result = strdup("");
    if (result == nullptr) {
      Panic_MemAllocFailure(__FILE__, __LINE__);
    }
    n = 0;
  }
  if (length != nullptr) {
    *length = static_cast<size_t>(n);
  }
  return result;
}

char *Str_Asprintf(size_t *length, const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  char *result = Str_Vasprintf(length, fmt, args);
  va_end(args);
  return result;
}
