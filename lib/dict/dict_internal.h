// Internal layout of a Dictionary, shared by the files of lib/dict.
#pragma once

#include <array>
#include <cstdarg>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "lib/dict/dict_log.h"
#include "lib/dict/dictionary.h"
#include "lib/dict/secure_text.h"

constexpr size_t kDictBuckets = 512;
constexpr size_t kDictNameMax = 1024;  // formatted names are cut to this size
constexpr int kDictNoEncoding = -2;    // the file's encoding is not yet settled

struct DictLine;

struct DictEntry {
  SecureText name;
  DictType type = DICT_ANY;
  SecureText text;  // DICT_ANY and DICT_STRING; none means "no text"
  bool b = false;
  int32_t l = 0;  // DICT_LONG and DICT_TRISTATE
  double d = 0.0;
  int64_t i64 = 0;
  uint8_t modified = 0;   // the value differs from what the file said
  uint8_t written = 0;    // used while writing
  uint8_t isDefault = 0;  // holds a caller's default: never written, dumped or "set"
  DictLine *line = nullptr;
  SecureText rendered;  // text form of a typed value handed out as a string
  DictEntry *bucketNext = nullptr;
};

struct DictLine {
  SecureText text;
  DictEntry *entry = nullptr;
  bool entryRemoved = false;  // its entry was unset: the line is not written
};

struct Dictionary {
  std::list<DictEntry> entries;  // insertion order; addresses stay stable
  std::array<DictEntry *, kDictBuckets> buckets{};
  std::vector<std::unique_ptr<DictLine>> lines;  // file order
  int encoding = kDictNoEncoding;
  bool modified = false;
};

// Entries.
DictEntry *DictFind(Dictionary *dict, std::string_view name);
DictEntry *DictAdd(Dictionary *dict, std::string_view name);
void DictRemove(Dictionary *dict, DictEntry *entry);
// Formats a name into buf (kDictNameMax bytes, cut when longer).
const char *DictFormatName(char *buf, const char *fmt, va_list args) SW_PRINTF(2, 0);

// The text form used when writing (TRUE/FALSE, %d, %.9g, DEFAULT, %ld).
std::string DictRenderValue(const DictEntry &entry);

// Conversion of a text to a type (DICT_BOOL .. DICT_INT64) by the file
// rules. On failure: *out = the default, a user message on the calling
// thread's list, false.
bool DictConvertText(std::string_view text, const char *name, DictType type,
                     const DictValue &defaultValue, DictValue *out);

// Encodings (the code-set service underneath).
int DictEncodingFromName(const char *name);
const char *DictEncodingName(int encoding);
int DictCurrentEncoding(void);
const char *DictCurrentEncodingName(void);
// Strict conversion of text in the encoding to UTF-8; false when invalid.
bool DictDecode(std::string_view in, int encoding, std::string *out);
// Strict conversion of UTF-8 text to the encoding; false when not representable.
bool DictEncode(std::string_view in, int encoding, std::string *out);

// User messages. fmt starts with the message marker and id. A null list is
// the calling thread's list.
void DictMessage(MsgList **list, const char *fmt, ...) SW_PRINTF(2, 3);

