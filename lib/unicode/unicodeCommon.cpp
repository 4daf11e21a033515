// Validation and conversion between the supported encodings and UTF-8.
// UTF-8, ASCII and UTF-16LE are handled here directly; every other
// encoding goes through the code-set service's generic conversion.

#include <cstdlib>
#include <cstring>
#include <string>

#include "lib/misc/codeset.h"
#include "lib/sig/panic.h"
#include "lib/unicode/unicode.h"
#include "lib/unicode/unicodeInt.h"

namespace {

bool IsUtf16(StringEncoding e) {
  return e == STRING_ENCODING_UTF16_LE || e == STRING_ENCODING_UTF16_BE ||
         e == STRING_ENCODING_UTF16;
}

bool IsUtf32(StringEncoding e) {
  return e == STRING_ENCODING_UTF32_LE || e == STRING_ENCODING_UTF32_BE ||
         e == STRING_ENCODING_UTF32;
}

// Length in bytes of a buffer given with -1: up to the terminating zero
// code unit of the encoding.
size_t BufferLength(const void *buffer, ssize_t length, StringEncoding encoding) {
  if (length >= 0) {
    return static_cast<size_t>(length);
  }
  const auto *p = static_cast<const unsigned char *>(buffer);
  size_t unit = IsUtf16(encoding) ? 2 : IsUtf32(encoding) ? 4 : 1;
  size_t n = 0;
  for (;;) {
    bool zero = true;
    for (size_t k = 0; k < unit; k++) {
      zero = zero && p[n + k] == 0;
    }
    if (zero) {
      return n;
    }
    n += unit;
  }
}

bool IsAscii(const char *buf, size_t size) {
  for (size_t i = 0; i < size; i++) {
    if (static_cast<unsigned char>(buf[i]) > 0x7F) {
      return false;
    }
  }
  return true;
}

char *CopyText(const char *buf, size_t size) {
  char *copy = static_cast<char *>(malloc(size + 1));
  if (copy == nullptr) {
    Panic_MemAllocFailure(__FILE__, __LINE__);
  }
  memcpy(copy, buf, size);
  copy[size] = '\0';
  return copy;
}

// The bytes of a buffer as printable text for a fatal message: printable
// ASCII as is, everything else as \xNN.
std::string EscapeBytes(const char *buf, size_t size) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < size; i++) {
    unsigned char c = static_cast<unsigned char>(buf[i]);
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out += static_cast<char>(c);
    } else {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    }
  }
  return out;
}

bool ToUtf8(const char *buf, size_t size, StringEncoding encoding, unsigned int mode,
            char **out, size_t *outSize) {
  const char *name = UnicodeEngineName(encoding);
  return name != nullptr &&
         CodeSet_GenericToGeneric(name, buf, size, "UTF-8", mode, out, outSize);
}

}  // namespace

bool Unicode_IsBufferValid(const void *buffer, ssize_t length, StringEncoding encoding) {
  if (buffer == nullptr) {
    return length <= 0;
  }
  encoding = Unicode_ResolveEncoding(encoding);
  const char *buf = static_cast<const char *>(buffer);
  size_t size = BufferLength(buffer, length, encoding);
  switch (encoding) {
    case STRING_ENCODING_UTF8:
      return CodeSet_IsValidUTF8(buf, size);
    case STRING_ENCODING_US_ASCII:
      return IsAscii(buf, size);
    default: {
      char *out = nullptr;
      size_t outSize = 0;
      if (!ToUtf8(buf, size, encoding, CSGTG_NORMAL, &out, &outSize)) {
        return false;
      }
      free(out);
      return true;
    }
  }
}

char *Unicode_AllocWithLength(const void *buffer, ssize_t length, StringEncoding encoding) {
  if (buffer == nullptr) {
    return nullptr;
  }
  encoding = Unicode_ResolveEncoding(encoding);
  const char *buf = static_cast<const char *>(buffer);
  size_t size = BufferLength(buffer, length, encoding);
  if ((encoding == STRING_ENCODING_UTF8 && CodeSet_IsValidUTF8(buf, size)) ||
      (encoding == STRING_ENCODING_US_ASCII && IsAscii(buf, size))) {
    return CopyText(buf, size);
  }
  char *out = nullptr;
  size_t outSize = 0;
  if (!ToUtf8(buf, size, encoding, CSGTG_TRANSLIT, &out, &outSize)) {
    std::string escaped = EscapeBytes(buf, size);
    Panic("%s: Couldn't convert invalid buffer [%s] from %s to Unicode.\n",
          "Unicode_AllocWithLength", escaped.c_str(),
          Unicode_NumberIsValid(encoding) ? Unicode_EncodingEnumToName(encoding) : "unknown");
  }
  return out;
}

char *Unicode_AllocStrict(const void *buffer, ssize_t length, StringEncoding encoding) {
  if (buffer == nullptr) {
    return nullptr;
  }
  encoding = Unicode_ResolveEncoding(encoding);
  const char *buf = static_cast<const char *>(buffer);
  size_t size = BufferLength(buffer, length, encoding);
  char *out = nullptr;
  size_t outSize = 0;
  switch (encoding) {
    case STRING_ENCODING_UTF16_LE:
      return CodeSet_Utf16leToUtf8(buf, size, &out, &outSize) ? out : nullptr;
    case STRING_ENCODING_UTF8:
      return CodeSet_IsValidUTF8(buf, size) ? CopyText(buf, size) : nullptr;
    case STRING_ENCODING_US_ASCII:
      return IsAscii(buf, size) ? CopyText(buf, size) : nullptr;
    default:
      return ToUtf8(buf, size, encoding, CSGTG_NORMAL, &out, &outSize) ? out : nullptr;
  }
}

char *Unicode_GetAllocBytes(const char *text, size_t textLength, StringEncoding encoding,
                            size_t *length) {
  if (text == nullptr) {
    return nullptr;
  }
  encoding = Unicode_ResolveEncoding(encoding);
  char *out = nullptr;
  size_t outSize = 0;
  bool ok;
  switch (encoding) {
    case STRING_ENCODING_UTF8:
      ok = CodeSet_IsValidUTF8(text, textLength);
      if (ok) {
        out = static_cast<char *>(calloc(textLength + 4, 1));
        if (out == nullptr) {
          Panic_MemAllocFailure(__FILE__, __LINE__);
        }
        memcpy(out, text, textLength);
        outSize = textLength;
      }
      break;
    case STRING_ENCODING_UTF16_LE:
      ok = CodeSet_Utf8ToUtf16le(text, textLength, &out, &outSize);
      break;
    default: {
      const char *name = UnicodeEngineName(encoding);
      ok = name != nullptr &&
           CodeSet_GenericToGeneric("UTF-8", text, textLength, name, CSGTG_NORMAL, &out, &outSize);
      break;
    }
  }
  if (!ok) {
    return nullptr;
  }
  if (length != nullptr) {
    *length = outSize;
  }
  return out;
}

bool Unicode_CopyBytes(const char *text, void *buffer, size_t size, size_t *written,
                       StringEncoding encoding) {
  size_t dummy;
  size_t &copied = written != nullptr ? *written : dummy;
  copied = 0;
  if (text == nullptr || buffer == nullptr) {
    return false;
  }
  char *dst = static_cast<char *>(buffer);
  size_t len = strlen(text);
  encoding = Unicode_ResolveEncoding(encoding);
  switch (encoding) {
    case STRING_ENCODING_UTF8: {
      if (size == 0) {
        return false;
      }
      size_t n = len < size - 1 ? len : size - 1;
      if (n < len) {
        // No partial character at the cut.
        n = CodeSet_Utf8CutPoint(text, n);
      }
      memcpy(dst, text, n);
      dst[n] = '\0';
      copied = n;
      return n == len;
    }
    case STRING_ENCODING_US_ASCII: {
      if (!IsAscii(text, len) || size == 0) {
        return false;
      }
      size_t n = len < size - 1 ? len : size - 1;
      memcpy(dst, text, n);
      dst[n] = '\0';
      copied = n;
      return n == len;
    }
    case STRING_ENCODING_UTF16_LE: {
      char *utf16 = nullptr;
      size_t utf16Size = 0;
      if (size < 2 || !CodeSet_Utf8ToUtf16le(text, len, &utf16, &utf16Size)) {
        return false;
      }
      size_t n = utf16Size < size - 2 ? utf16Size : size - 2;
      n &= ~static_cast<size_t>(1);
      if (n >= 2) {
        unsigned unit = static_cast<unsigned char>(utf16[n - 2]) |
                        (static_cast<unsigned char>(utf16[n - 1]) << 8);
        if (unit >= 0xD800 && unit <= 0xDBFF) {
          n -= 2;  // half a surrogate pair is no character
        }
      }
      memcpy(dst, utf16, n);
      dst[n] = '\0';
      dst[n + 1] = '\0';
      free(utf16);
      copied = n;
      return n == utf16Size;
    }
    default: {
      char *bytes = nullptr;
      size_t bytesSize = 0;
      const char *name = UnicodeEngineName(encoding);
      if (size == 0 || name == nullptr ||
          !CodeSet_GenericToGeneric("UTF-8", text, len, name, CSGTG_NORMAL, &bytes, &bytesSize)) {
        return false;
      }
      size_t n = bytesSize < size - 1 ? bytesSize : size - 1;
      memcpy(dst, bytes, n);
      dst[n] = '\0';
      free(bytes);
      copied = n;
      return n == bytesSize;
    }
  }
}
