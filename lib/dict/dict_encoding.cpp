// The dictionary's view of the code-set service: encoding numbers and
// names, and strict conversion between a file's encoding and UTF-8.
#include <cstdlib>
#include <cstring>

#include "lib/dict/dict_internal.h"
#include "lib/misc/codeset.h"
#include "lib/unicode/unicode.h"

int DictEncodingFromName(const char *name) {
  if (name == nullptr || *name == '\0') {
    return STRING_ENCODING_UNKNOWN;
  }
  StringEncoding e = Unicode_EncodingFromName(name);
  return (e >= 0 && Unicode_NumberIsValid(e)) ? e : STRING_ENCODING_UNKNOWN;
}

const char *DictEncodingName(int encoding) {
  if (encoding < 0 || !Unicode_NumberIsValid(encoding)) {
    return "unknown";
  }
  return Unicode_EncodingEnumToName(encoding);
}

int DictCurrentEncoding(void) {
  StringEncoding e = Unicode_GetCurrentEncoding();
  return (e >= 0 && Unicode_NumberIsValid(e)) ? e : STRING_ENCODING_UNKNOWN;
}

const char *DictCurrentEncodingName(void) { return CodeSet_GetCurrentCodeSet(); }

bool DictDecode(std::string_view in, int encoding, std::string *out) {
  if (encoding < 0) {
    return false;
  }
  if (encoding == STRING_ENCODING_UTF8) {
    // Checked by length, so a value with an escaped NUL keeps its bytes.
    if (!CodeSet_IsValidUTF8(in.data(), in.size())) {
      return false;
    }
    out->assign(in);
    return true;
  }
  if (encoding == STRING_ENCODING_US_ASCII) {
    for (char c : in) {
      if (static_cast<unsigned char>(c) > 127) {
        return false;
      }
    }
    out->assign(in);
    return true;
  }
  char *utf8 = Unicode_AllocStrict(in.data(), static_cast<ssize_t>(in.size()), encoding);
  if (utf8 == nullptr) {
    return false;
  }
  out->assign(utf8);
  explicit_bzero(utf8, out->size());
  free(utf8);
  return true;
}

bool DictEncode(std::string_view in, int encoding, std::string *out) {
  if (encoding < 0) {
    return false;
  }
  if (encoding == STRING_ENCODING_UTF8) {
    out->assign(in);
    return true;
  }
  size_t length = 0;
  std::string text(in);
  char *bytes = Unicode_GetAllocBytes(text.c_str(), text.size(), encoding, &length);
  explicit_bzero(text.data(), text.size());
  if (bytes == nullptr) {
    return false;
  }
  out->assign(bytes, length);
  explicit_bzero(bytes, length);
  free(bytes);
  return true;
}
