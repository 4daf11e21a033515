// Fuzzes the code-set service with arbitrary bytes in arbitrary supported
// encodings, on both engines: validation and strict conversion must agree,
// lenient conversion must always give valid UTF-8, copies into small
// buffers must stay in bounds, and any text must be safe as an encoding
// name.
//
// Input: byte 0 picks the encoding, byte 1 the engine and the copy size,
// the rest is the text.

#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lib/log/log.h"
#include "lib/misc/codeset.h"
#include "lib/unicode/unicode.h"
#include "lib/unicode/unicodeTable.h"

namespace {

std::string gIcuDir;

void RemoveIcuDir() {
  unlink((gIcuDir + "/icudt44l.dat").c_str());
  rmdir(gIcuDir.c_str());
}

void Setup() {
  Log_SetStderrLevel(0, kLogPanic);  // unknown names are logged; keep quiet
  char tmpl[] = "/tmp/codeset_fuzzer.XXXXXX";
  if (mkdtemp(tmpl) != nullptr) {
    gIcuDir = tmpl;
    FILE *f = fopen((gIcuDir + "/icudt44l.dat").c_str(), "w");
    if (f != nullptr) {
      fclose(f);
    }
    atexit(RemoveIcuDir);
  }
}

StringEncoding PickEncoding(uint8_t selector) {
  int supported = 0;
  for (size_t row = 0; row < kEncodingTableRows; row++) {
    supported += kEncodingTable[row].isSupported ? 1 : 0;
  }
  int wanted = selector % supported;
  for (size_t row = 0; row < kEncodingTableRows; row++) {
    if (kEncodingTable[row].isSupported && wanted-- == 0) {
      return kEncodingTable[row].encoding;
    }
  }
  return STRING_ENCODING_UTF8;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool ready = (Setup(), true);
  (void)ready;
  if (size < 2) {
    return 0;
  }
  StringEncoding encoding = PickEncoding(data[0]);
  bool icu = (data[1] & 0x80) != 0;
  size_t copySize = data[1] & 0x1F;
  CodeSet_Init(icu ? gIcuDir.c_str() : "/nonexistent");
  const char *text = reinterpret_cast<const char *>(data + 2);
  size_t length = size - 2;
  const char *name = Unicode_EncodingEnumToName(encoding);

  // The text as an encoding name.
  std::string asName(text, length);
  UnicodeIANALookup(asName.c_str());
  Unicode_EncodingFromName(asName.c_str());

  if (!CodeSet_IsNameKnown(name)) {
    return 0;  // this engine has no converter for it
  }
  bool valid = Unicode_IsBufferValid(text, static_cast<ssize_t>(length), encoding);
  char *strict = Unicode_AllocStrict(text, static_cast<ssize_t>(length), encoding);
  if ((strict != nullptr) != valid) {
    abort();  // validation and strict conversion disagree
  }
  char *lenient = Unicode_AllocWithLength(text, static_cast<ssize_t>(length), encoding);
  if (lenient == nullptr) {
    abort();
  }

  for (char *utf8 : {strict, lenient}) {
    if (utf8 == nullptr) {
      continue;
    }
    // Back into the encoding, whole and into a small buffer.
    size_t outLength = 0;
    free(Unicode_GetAllocBytes(utf8, strlen(utf8), encoding, &outLength));
    char small[40];
    memset(small, 0x5A, sizeof small);
    size_t written = 0;
    Unicode_CopyBytes(utf8, small + 4, copySize, &written, encoding);
    if (written > copySize || small[3] != 0x5A || small[4 + copySize] != 0x5A) {
      abort();  // wrote outside the buffer
    }
    Unicode_CopyBytes(utf8, small + 4, copySize, &written, STRING_ENCODING_UTF8);
    if (written >= copySize && copySize > 0) {
      abort();
    }
  }
  free(strict);
  free(lenient);
  return 0;
}
