// Conversion of file text to typed values: boolean words, integers with
// automatic base, doubles, tri-states and 64-bit integers. A text that does
// not convert yields the caller's default and a user message.
#include <locale.h>

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <string>

#include "lib/dict/dict_internal.h"

namespace {

bool EqualsIgnoreCase(std::string_view text, std::string_view word) {
  if (text.size() != word.size()) {
    return false;
  }
  for (size_t i = 0; i < text.size(); i++) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
    if (c != word[i]) {
      return false;
    }
  }
  return true;
}

// 1 true, 0 false, -1 neither.
int ParseBoolWord(std::string_view text) {
  static constexpr std::string_view kTrue[] = {"", "true", "t", "yes", "y", "on", "1"};
  static constexpr std::string_view kFalse[] = {"false", "f", "no", "n", "off", "0"};
  for (std::string_view w : kTrue) {
    if (EqualsIgnoreCase(text, w)) {
      return 1;
    }
  }
  for (std::string_view w : kFalse) {
    if (EqualsIgnoreCase(text, w)) {
      return 0;
    }
  }
  return -1;
}

const char *TriStateName(int v) { return v == 0 ? "FALSE" : v == 1 ? "TRUE" : "DEFAULT"; }

// Outcome of a numeric parse.
enum class Parse { kOk, kRange, kSyntax };

// The C library parsers stop at a NUL; a text with an embedded NUL (from a
// |00 escape) therefore has trailing characters and is rejected.
Parse ParseLong32(const std::string &text, int32_t *out) {
  const char *s = text.c_str();
  char *end = nullptr;
  errno = 0;
  long v = strtol(s, &end, 0);
  if (end == s) {
    return Parse::kSyntax;
  }
  bool inRange;
  if (errno == ERANGE) {
    errno = 0;
    unsigned long u = strtoul(s, &end, 0);
    if (errno == ERANGE) {
      return Parse::kRange;
    }
    inRange = u <= UINT32_MAX;
    v = static_cast<long>(u);
  } else {
    inRange = v >= INT32_MIN && v <= static_cast<long>(UINT32_MAX);
  }
  if (static_cast<size_t>(end - s) != text.size()) {
    return Parse::kSyntax;
  }
  // Values up to UINT32_MAX are accepted as their 32-bit pattern
  // (0xFFFFFFFF reads as -1); anything wider is out of range rather than
  // silently cut.
  if (!inRange) {
    return Parse::kRange;
  }
  *out = static_cast<int32_t>(static_cast<uint32_t>(static_cast<unsigned long>(v)));
  return Parse::kOk;
}

Parse ParseInt64(const std::string &text, int64_t *out) {
  const char *s = text.c_str();
  char *end = nullptr;
  errno = 0;
  unsigned long long v = strtoull(s, &end, 0);
  if (end == s) {
    return Parse::kSyntax;
  }
  if (errno == ERANGE) {
    return Parse::kRange;
  }
  if (static_cast<size_t>(end - s) != text.size()) {
    return Parse::kSyntax;
  }
  *out = static_cast<int64_t>(v);
  return Parse::kOk;
}

// Doubles are read in the C locale, whatever the process locale says, so a
// file reads the same everywhere.
Parse ParseDouble(const std::string &text, double *out) {
  static locale_t cLocale = newlocale(LC_ALL_MASK, "C", nullptr);
  const char *s = text.c_str();
  char *end = nullptr;
  errno = 0;
  double v = cLocale != nullptr ? strtod_l(s, &end, cLocale) : strtod(s, &end);
  if (end == s) {
    return Parse::kSyntax;
  }
  if (errno == ERANGE && std::isinf(v)) {
    return Parse::kRange;
  }
  if (static_cast<size_t>(end - s) != text.size()) {
    return Parse::kSyntax;
  }
  *out = v;
  return Parse::kOk;
}

}  // namespace

bool DictConvertText(std::string_view view, const char *name, DictType type,
                     const DictValue &def, DictValue *out) {
  int savedErrno = errno;
  std::string text(view);
  *out = def;
  bool ok = true;
  switch (type) {
  case DICT_BOOL: {
    int b = ParseBoolWord(text);
    if (b < 0) {
      DictMessage(nullptr,
                  "@&!*@*@(msg.dictionary.notBoolean)Value \"%s\" for variable \"%s\" is not a "
                  "valid boolean value. Using value \"%s\".\n",
                  text.c_str(), name, def.b ? "TRUE" : "FALSE");
      ok = false;
    } else {
      out->b = b == 1;
    }
    break;
  }
  case DICT_TRISTATE: {
    int b = ParseBoolWord(text);
    if (b >= 0) {
      out->l = b;
    } else if (EqualsIgnoreCase(text, "default") || EqualsIgnoreCase(text, "dontcare") ||
               EqualsIgnoreCase(text, "auto")) {
      out->l = -1;
    } else {
      DictMessage(nullptr,
                  "@&!*@*@(msg.dictionary.notTristate)Value \"%s\" for variable \"%s\" is not a "
                  "valid tristate value. Using value \"%s\".\n",
                  text.c_str(), name, TriStateName(def.l));
      ok = false;
    }
    break;
  }
  case DICT_LONG:
    switch (ParseLong32(text, &out->l)) {
    case Parse::kOk:
      break;
    case Parse::kRange:
      DictMessage(nullptr,
                  "@&!*@*@(msg.dictionary.integerOutOfRange)Value \"%s\" for variable \"%s\" is "
                  "out of range. Using value \"%d\".\n",
                  text.c_str(), name, def.l);
      ok = false;
      break;
    case Parse::kSyntax:
      DictMessage(nullptr,
                  "@&!*@*@(msg.dictionary.notInteger)Value \"%s\" for variable \"%s\" is not a "
                  "valid integer value. Using value \"%d\".\n",
                  text.c_str(), name, def.l);
      ok = false;
      break;
    }
    break;
  case DICT_INT64:
    switch (ParseInt64(text, &out->i64)) {
    case Parse::kOk:
      break;
    case Parse::kRange:
      DictMessage(nullptr,
                  "@&!*@*@(msg.dictionary.integer64OutOfRange)Value \"%s\" for variable \"%s\" is "
                  "out of range. Using value \"%ld\".\n",
                  text.c_str(), name, static_cast<long>(def.i64));
      ok = false;
      break;
    case Parse::kSyntax:
      DictMessage(nullptr,
                  "@&!*@*@(msg.dictionary.notInteger64)Value \"%s\" for variable \"%s\" is not a "
                  "valid integer value. Using value \"%ld\".\n",
                  text.c_str(), name, static_cast<long>(def.i64));
      ok = false;
      break;
    }
    break;
  case DICT_DOUBLE:
    switch (ParseDouble(text, &out->d)) {
    case Parse::kOk:
      break;
    case Parse::kRange:
      DictMessage(nullptr,
                  "@&!*@*@(msg.dictionary.doubleOutOfRange)Value \"%s\" for variable \"%s\" is "
                  "out of range. Using value \"%f\".\n",
                  text.c_str(), name, def.d);
      ok = false;
      break;
    case Parse::kSyntax:
      DictMessage(nullptr,
                  "@&!*@*@(msg.dictionary.notFloat)Value \"%s\" for variable \"%s\" is not a "
                  "valid floating point value. Using value \"%f\".\n",
                  text.c_str(), name, def.d);
      ok = false;
      break;
    }
    break;
  case DICT_ANY:
  case DICT_STRING:
    break;
  }
  errno = savedErrno;
  return ok;
}
