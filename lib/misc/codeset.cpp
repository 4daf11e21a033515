// The engine-neutral code-set service: which engine converts (ICU when its
// data file is installed, else iconv), the process's current encoding name,
// the generic conversion with both engines, and the UTF-8 and UTF-16 coders
// that need no engine.

#include "lib/misc/codeset.h"

#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <strings.h>
#include <string>

#include "lib/misc/codesetIcu.h"
#include "lib/misc/codesetInt.h"
#include "lib/sig/panic.h"

namespace {

constexpr const char *kIcuDataFile = "icudt44l.dat";

std::atomic<bool> gUseIconv{true};

struct FreeDeleter {
  void operator()(void *p) const { free(p); }
};
using Buffer = std::unique_ptr<char, FreeDeleter>;

// A growing output buffer that always keeps four spare bytes for the
// terminating zeros.
class OutBuffer {
 public:
  explicit OutBuffer(size_t initial) { Grow(initial < 16 ? 16 : initial); }
  char *Data() { return buf_.get(); }
  size_t Used() const { return used_; }
  size_t Room() const { return cap_ - used_ - 4; }
  char *End() { return buf_.get() + used_; }
  void Advance(size_t n) { used_ += n; }
  void SetUsed(size_t n) { used_ = n; }
  void Grow(size_t minRoom) {
    size_t cap = cap_ == 0 ? minRoom + 4 : cap_ * 2;
    while (cap - used_ - 4 < minRoom) {
      cap *= 2;
    }
    char *p = static_cast<char *>(realloc(buf_.release(), cap));
    if (p == nullptr) {
      Panic_MemAllocFailure(__FILE__, __LINE__);
    }
    buf_.reset(p);
    cap_ = cap;
  }
  bool Append(const char *bytes, size_t n) {
    if (Room() < n) {
      Grow(n);
    }
    memcpy(End(), bytes, n);
    used_ += n;
    return true;
  }
  // Terminates with four zero bytes and hands the buffer over.
  void Finish(char **bufOut, size_t *sizeOut) {
    memset(End(), 0, 4);
    *sizeOut = used_;
    *bufOut = buf_.release();
  }

 private:
  Buffer buf_;
  size_t cap_ = 0;
  size_t used_ = 0;
};

struct IconvCloser {
  iconv_t cd;
  ~IconvCloser() {
    if (cd != reinterpret_cast<iconv_t>(-1)) {
      iconv_close(cd);
    }
  }
};

iconv_t OpenIconv(const char *codeIn, const char *codeOut, unsigned int mode) {
  if (mode != CSGTG_NORMAL) {
    std::string translit = std::string(codeOut) + "//TRANSLIT";
    iconv_t cd = iconv_open(translit.c_str(), codeIn);
    if (cd != reinterpret_cast<iconv_t>(-1)) {
      return cd;
    }
  }
  return iconv_open(codeOut, codeIn);
}

// What the replacing modes write for a sequence that cannot be converted:
// U+FFFD in the target encoding, else "?", else nothing.
std::string IconvReplacement(const char *codeOut) {
  static const char *const kCandidates[][2] = {{"UTF-8", "\xEF\xBF\xBD"}, {"ASCII", "?"}};
  for (const auto &candidate : kCandidates) {
    iconv_t cd = iconv_open(codeOut, candidate[0]);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
      continue;
    }
    IconvCloser closer{cd};
    char out[16];
    char *in = const_cast<char *>(candidate[1]);
    size_t inLeft = strlen(candidate[1]);
    char *o = out;
    size_t outLeft = sizeof out;
    if (iconv(cd, &in, &inLeft, &o, &outLeft) != static_cast<size_t>(-1) && inLeft == 0 &&
        iconv(cd, nullptr, nullptr, &o, &outLeft) != static_cast<size_t>(-1)) {
      return std::string(out, static_cast<size_t>(o - out));
    }
  }
  return std::string();
}

bool IconvConvert(const char *codeIn, const char *bufIn, size_t sizeIn, const char *codeOut,
                  unsigned int mode, char **bufOut, size_t *sizeOut) {
  IconvCloser closer{OpenIconv(codeIn, codeOut, mode)};
  if (closer.cd == reinterpret_cast<iconv_t>(-1)) {
    return false;
  }
  OutBuffer out(sizeIn + sizeIn / 2);
  char *in = const_cast<char *>(bufIn);
  size_t inLeft = sizeIn;
  std::string replacement;
  bool haveReplacement = false;
  const bool fromUtf8 = strcasecmp(codeIn, "UTF-8") == 0 || strcasecmp(codeIn, "UTF8") == 0;
  for (;;) {
    if (out.Room() < 4) {
      out.Grow(out.Used() + 4);
    }
    const bool flushing = inLeft == 0;
    char *o = out.End();
    size_t room = out.Room();
    size_t outLeft = room;
    // Once the input is used up, one more call writes any closing shift
    // sequence of a stateful encoding.
    size_t rc = flushing ? iconv(closer.cd, nullptr, nullptr, &o, &outLeft)
                         : iconv(closer.cd, &in, &inLeft, &o, &outLeft);
    int err = errno;
    out.Advance(room - outLeft);
    if (rc != static_cast<size_t>(-1)) {
      if (flushing) {
        break;
      }
      continue;
    }
    if (err == E2BIG) {
      out.Grow(out.Used() + 16);
      continue;
    }
    if (!flushing && (err == EILSEQ || err == EINVAL)) {
      if (mode == CSGTG_NORMAL) {
        return false;
      }
      // Replace the offending sequence and go on, so that nothing after it
      // is lost; a truncated sequence at the end gets the same treatment.
      if (!haveReplacement) {
        replacement = IconvReplacement(codeOut);
        haveReplacement = true;
      }
      out.Append(replacement.data(), replacement.size());
      in++;
      inLeft--;
      while (fromUtf8 && inLeft > 0 && (static_cast<unsigned char>(*in) & 0xC0) == 0x80) {
        in++;
        inLeft--;
      }
      continue;
    }
    return false;
  }
  out.Finish(bufOut, sizeOut);
  return true;
}

struct IcuConverter {
  const IcuApi *api;
  UConverter *cnv;
  ~IcuConverter() {
    if (cnv != nullptr) {
      api->ucnv_close(cnv);
    }
  }
};

bool IcuSetCallbacks(const IcuApi *api, UConverter *cnv, unsigned int mode) {
  UConverterToUCallback toU;
  UConverterFromUCallback fromU;
  const void *context = nullptr;
  switch (mode) {
    case CSGTG_NORMAL:
      toU = api->toUStop;
      fromU = api->fromUStop;
      break;
    case CSGTG_TRANSLIT:
      toU = api->toUSubstitute;
      fromU = api->fromUSubstitute;
      break;
    case CSGTG_ESCAPE:
      toU = api->toUEscape;
      fromU = api->fromUEscape;
      break;
    default:
      NOT_IMPLEMENTED();
  }
  UErrorCode err = U_ZERO_ERROR;
  api->ucnv_setToUCallBack(cnv, toU, context, nullptr, nullptr, &err);
  if (U_FAILURE(err)) {
    return false;
  }
  api->ucnv_setFromUCallBack(cnv, fromU, context, nullptr, nullptr, &err);
  return U_SUCCESS(err);
}

bool IcuConvert(const IcuApi *api, const char *codeIn, const char *bufIn, size_t sizeIn,
                const char *codeOut, unsigned int mode, char **bufOut, size_t *sizeOut) {
  if (mode > CSGTG_ESCAPE) {
    NOT_IMPLEMENTED();
  }
  UErrorCode err = U_ZERO_ERROR;
  IcuConverter from{api, api->ucnv_open(codeIn, &err)};
  if (U_FAILURE(err) || from.cnv == nullptr) {
    return false;
  }
  IcuConverter to{api, api->ucnv_open(codeOut, &err)};
  if (U_FAILURE(err) || to.cnv == nullptr) {
    return false;
  }
  if (!IcuSetCallbacks(api, from.cnv, mode) || !IcuSetCallbacks(api, to.cnv, mode)) {
    return false;
  }

  OutBuffer out(sizeIn * 2 + 16);
  const char *src = bufIn;
  const char *srcLimit = bufIn + sizeIn;
  UChar pivot[1024];
  UChar *pivotSource = pivot;
  UChar *pivotTarget = pivot;
  UBool reset = true;
  for (;;) {
    char *target = out.End();
    err = U_ZERO_ERROR;
    api->ucnv_convertEx(to.cnv, from.cnv, &target, target + out.Room(), &src, srcLimit, pivot,
                        &pivotSource, &pivotTarget, pivot + sizeof pivot / sizeof pivot[0], reset,
                        true, &err);
    reset = false;
    out.SetUsed(static_cast<size_t>(target - out.Data()));
    if (err == U_BUFFER_OVERFLOW_ERROR) {
      out.Grow(out.Used() + out.Room() + 16);  // at least doubles the room
      continue;
    }
    if (U_FAILURE(err)) {
      return false;
    }
    break;
  }
  out.Finish(bufOut, sizeOut);
  return true;
}

std::string LocaleCodeSet() {
  locale_t loc = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(0));
  if (loc == static_cast<locale_t>(0)) {
    loc = newlocale(LC_CTYPE_MASK, "C", static_cast<locale_t>(0));
  }
  if (loc == static_cast<locale_t>(0)) {
    return "ANSI_X3.4-1968";
  }
  std::string codeset(nl_langinfo_l(CODESET, loc));
  freelocale(loc);
  return codeset;
}

}  // namespace

bool CodeSet_Init(const char *icuDataDir) {
  std::string dir(icuDataDir != nullptr ? icuDataDir : CODESET_ICU_DIR);
  std::string path = dir + "/" + kIcuDataFile;
  struct stat st;
  bool useIcu = false;
  if (stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
    const IcuApi *api = CodeSetIcuApi();
    if (api != nullptr) {
      api->u_setDataDirectory(dir.c_str());
      useIcu = true;
    }
  }
  gUseIconv.store(!useIcu, std::memory_order_release);
  return true;
}

bool CodeSet_UsesIconv(void) {
  return gUseIconv.load(std::memory_order_acquire);
}

bool CodeSet_IsNameKnown(const char *name) {
  if (name == nullptr) {
    return false;
  }
  if (CodeSet_UsesIconv()) {
    iconv_t cd = iconv_open("UTF-8", name);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
      return false;
    }
    iconv_close(cd);
    return true;
  }
  const IcuApi *api = CodeSetIcuApi();
  UErrorCode err = U_ZERO_ERROR;
  IcuConverter cnv{api, api->ucnv_open(name, &err)};
  return U_SUCCESS(err) && cnv.cnv != nullptr;
}

char *CodeSet_GetLocaleCodeSet(void) {
  char *copy = strdup(LocaleCodeSet().c_str());
  if (copy == nullptr) {
    Panic_MemAllocFailure(__FILE__, __LINE__);
  }
  return copy;
}

std::string CodeSetComputeCurrentCodeSet(void) {
  const char *fileEncoding = getenv("G_FILENAME_ENCODING");
  if (fileEncoding != nullptr && fileEncoding[0] != '\0') {
    std::string name(fileEncoding);
    size_t comma = name.find(',');
    if (comma != std::string::npos) {
      name.resize(comma);
    }
    return name == "@locale" ? LocaleCodeSet() : name;
  }
  if (getenv("G_BROKEN_FILENAMES") != nullptr) {
    return LocaleCodeSet();
  }
  return "UTF-8";
}

const char *CodeSet_GetCurrentCodeSet(void) {
  // Decided once for the life of the process.
  static const std::string current = CodeSetComputeCurrentCodeSet();
  return current.c_str();
}

bool CodeSet_GenericToGeneric(const char *codeIn, const char *bufIn, size_t sizeIn,
                              const char *codeOut, unsigned int mode, char **bufOut,
                              size_t *sizeOut) {
  if (codeIn == nullptr || codeOut == nullptr || (bufIn == nullptr && sizeIn != 0)) {
    return false;
  }
  if (bufIn == nullptr) {
    bufIn = "";
  }
  if (CodeSet_UsesIconv()) {
    if (mode > CSGTG_ESCAPE) {
      mode = CSGTG_TRANSLIT;  // iconv knows one replacing mode
    }
    return IconvConvert(codeIn, bufIn, sizeIn, codeOut, mode, bufOut, sizeOut);
  }
  return IcuConvert(CodeSetIcuApi(), codeIn, bufIn, sizeIn, codeOut, mode, bufOut, sizeOut);
}

bool CodeSet_Validate(const char *buf, size_t size, const char *code) {
  char *out = nullptr;
  size_t outSize = 0;
  if (!CodeSet_GenericToGeneric(code, buf, size, "UTF-8", CSGTG_NORMAL, &out, &outSize)) {
    return false;
  }
  free(out);
  return true;
}

bool CodeSet_IsValidUTF8(const char *buf, size_t size) {
  const auto *p = reinterpret_cast<const unsigned char *>(buf);
  size_t i = 0;
  while (i < size) {
    unsigned char c = p[i];
    if (c < 0x80) {
      i++;
      continue;
    }
    size_t need;
    uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
      need = 1;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      need = 2;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      need = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (size - i - 1 < need) {
      return false;
    }
    for (size_t k = 1; k <= need; k++) {
      if ((p[i + k] & 0xC0) != 0x80) {
        return false;
      }
      cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    if ((need == 2 && cp < 0x800) || (need == 3 && cp < 0x10000) || cp > 0x10FFFF ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    i += need + 1;
  }
  return true;
}

size_t CodeSet_Utf8CutPoint(const char *buf, size_t size) {
  const auto *p = reinterpret_cast<const unsigned char *>(buf);
  // Find the start of the last sequence within the first size bytes.
  size_t start = size;
  for (size_t back = 1; back <= 4 && back <= size; back++) {
    if ((p[size - back] & 0xC0) != 0x80) {
      start = size - back;
      break;
    }
  }
  if (start == size) {
    return size;  // no lead byte nearby: nothing sensible to move
  }
  unsigned char lead = p[start];
  size_t len = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
  return start + len <= size ? size : start;
}

bool CodeSet_Utf16leToUtf8(const char *bufIn, size_t sizeIn, char **bufOut, size_t *sizeOut) {
  if (sizeIn % 2 != 0 || (bufIn == nullptr && sizeIn != 0)) {
    return false;
  }
  const auto *p = reinterpret_cast<const unsigned char *>(bufIn);
  size_t units = sizeIn / 2;
  OutBuffer out(units * 3);
  for (size_t i = 0; i < units; i++) {
    uint32_t u = p[2 * i] | (p[2 * i + 1] << 8);
    uint32_t cp = u;
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (i + 1 >= units) {
        return false;
      }
      uint32_t lo = p[2 * i + 2] | (p[2 * i + 3] << 8);
      if (lo < 0xDC00 || lo > 0xDFFF) {
        return false;
      }
      cp = 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
      i++;
    } else if (u >= 0xDC00 && u <= 0xDFFF) {
      return false;
    }
    char enc[4];
    size_t n;
    if (cp < 0x80) {
      enc[0] = static_cast<char>(cp);
      n = 1;
    } else if (cp < 0x800) {
      enc[0] = static_cast<char>(0xC0 | (cp >> 6));
      enc[1] = static_cast<char>(0x80 | (cp & 0x3F));
      n = 2;
    } else if (cp < 0x10000) {
      enc[0] = static_cast<char>(0xE0 | (cp >> 12));
      enc[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      enc[2] = static_cast<char>(0x80 | (cp & 0x3F));
      n = 3;
    } else {
      enc[0] = static_cast<char>(0xF0 | (cp >> 18));
      enc[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      enc[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      enc[3] = static_cast<char>(0x80 | (cp & 0x3F));
      n = 4;
    }
    out.Append(enc, n);
  }
  out.Finish(bufOut, sizeOut);
  return true;
}

bool CodeSet_Utf8ToUtf16le(const char *bufIn, size_t sizeIn, char **bufOut, size_t *sizeOut) {
  if ((bufIn == nullptr && sizeIn != 0) || !CodeSet_IsValidUTF8(bufIn, sizeIn)) {
    return false;
  }
  const auto *p = reinterpret_cast<const unsigned char *>(bufIn);
  OutBuffer out(sizeIn * 2);
  size_t i = 0;
  while (i < sizeIn) {
    unsigned char c = p[i];
    uint32_t cp;
    size_t len = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
    cp = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
    for (size_t k = 1; k < len; k++) {
      cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    i += len;
    char units[4];
    size_t n;
    if (cp >= 0x10000) {
      uint32_t v = cp - 0x10000;
      uint32_t hi = 0xD800 + (v >> 10);
      uint32_t lo = 0xDC00 + (v & 0x3FF);
      units[0] = static_cast<char>(hi & 0xFF);
      units[1] = static_cast<char>(hi >> 8);
      units[2] = static_cast<char>(lo & 0xFF);
      units[3] = static_cast<char>(lo >> 8);
      n = 4;
    } else {
      units[0] = static_cast<char>(cp & 0xFF);
      units[1] = static_cast<char>(cp >> 8);
      n = 2;
    }
    out.Append(units, n);
  }
  out.Finish(bufOut, sizeOut);
  return true;
}
