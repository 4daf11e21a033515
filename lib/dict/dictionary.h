// Dictionary: an ordered set of named, typed values backed by a line-oriented
// text file ("name = value" lines, "#" comments). Reading keeps every line's
// text so that writing the dictionary back changes only what was changed.
//
// Names compare ignoring (ASCII) case. Values read from a file are kept as
// untyped text until a typed getter converts them once. All texts a
// dictionary held are overwritten with zeros before their memory is freed.
//
// A dictionary has no lock of its own: callers that share one serialise
// their calls (the preference store holds "preferenceLock"), since even a
// lookup may convert an entry or record a default.
//
// User messages (problems an operator should see: syntax errors, values that
// do not convert) are appended to a message list; a null list argument means
// the calling thread's list (lib/user).
#pragma once

#include <cstddef>
#include <cstdint>

#include "lib/sig/log_hook.h"

struct Dictionary;
struct MsgList;

// Value types. The numbers are shared with the preference store.
enum DictType : int {
  DICT_ANY = 0,       // untyped text, as read from a file
  DICT_STRING = 1,
  DICT_BOOL = 2,
  DICT_LONG = 3,      // 32-bit signed
  DICT_DOUBLE = 4,
  DICT_TRISTATE = 5,  // 0 false, 1 true, -1 default
  DICT_INT64 = 6,
};

// A value of any type; which member counts is given by the DictType beside it.
// For DICT_ANY and DICT_STRING, str may be null ("no text").
struct DictValue {
  const char *str = nullptr;
  bool b = false;
  int32_t l = 0;  // DICT_LONG and DICT_TRISTATE
  double d = 0.0;
  int64_t i64 = 0;
};

// The encoding argument of DictionaryLoad: -1 selects the process's current
// encoding, otherwise an encoding number of the code-set service.
constexpr int kDictCurrentEncoding = -1;

// Life.
Dictionary *Dictionary_Create(void) noexcept;
void Dictionary_Free(Dictionary *dict) noexcept;  // null is ignored
void Dictionary_Clear(Dictionary *dict) noexcept;

// Reads a file into the dictionary. path null: nothing to read (success);
// "-": standard input. With clear, the dictionary is emptied first.
// Returns false on any failure; entries read before the failure stay.
bool DictionaryLoad(Dictionary *dict, const char *path, bool clear, int defaultEncoding,
                    MsgList **messages) noexcept;
// The same from bytes already in memory; name is used in messages.
bool Dictionary_LoadFromBuffer(Dictionary *dict, const char *name, const char *data, size_t size,
                               bool clear, int defaultEncoding, MsgList **messages) noexcept;

// Setters: create the entry or change its value. The entry (and the
// dictionary) become modified only when the value actually changes.
void Dictionary_SetString(Dictionary *dict, const char *value, const char *fmt, ...) noexcept
    SW_PRINTF(3, 4);
void Dictionary_SetUntyped(Dictionary *dict, const char *value, const char *fmt, ...) noexcept
    SW_PRINTF(3, 4);
void Dictionary_SetBool(Dictionary *dict, bool value, const char *fmt, ...) noexcept SW_PRINTF(3, 4);
void Dictionary_SetLong(Dictionary *dict, int32_t value, const char *fmt, ...) noexcept
    SW_PRINTF(3, 4);
void Dictionary_SetTriState(Dictionary *dict, int value, const char *fmt, ...) noexcept
    SW_PRINTF(3, 4);
void Dictionary_SetInt64(Dictionary *dict, int64_t value, const char *fmt, ...) noexcept
    SW_PRINTF(3, 4);
void Dictionary_SetDouble(Dictionary *dict, double value, const char *fmt, ...) noexcept
    SW_PRINTF(3, 4);

// "name=value" in one text, split at the first "=" (no "=": the whole text is
// the name, the value is empty). An existing entry takes the value, unless
// refuseExisting, which leaves it alone, appends
// msg.dictionary.alreadyDefined.string and returns false.
bool Dictionary_SetFromText(Dictionary *dict, const char *text, bool refuseExisting,
                            MsgList **messages) noexcept;

// Typed get with a default. Without an entry, a zero default (null text,
// false, 0, 0.0) or -1 for the integer types is returned as is; any other
// default is recorded as a new entry (marked as a recorded default) and
// returned. An untyped entry is converted once and keeps the type; a value
// that does not convert yields the default and a user message on the calling
// thread's list. Returns false only for an unknown type.
bool Dictionary_Get(Dictionary *dict, DictType type, const DictValue &defaultValue, DictValue *out,
                    const char *name) noexcept;

// Convenience forms of Dictionary_Get. The string form returns text owned by
// the dictionary, valid until that entry changes or is removed.
const char *Dictionary_GetString(Dictionary *dict, const char *defaultValue, const char *fmt, ...)
    noexcept SW_PRINTF(3, 4);
bool Dictionary_GetBool(Dictionary *dict, bool defaultValue, const char *fmt, ...) noexcept
    SW_PRINTF(3, 4);
int32_t Dictionary_GetLong(Dictionary *dict, int32_t defaultValue, const char *fmt, ...) noexcept
    SW_PRINTF(3, 4);
int Dictionary_GetTriState(Dictionary *dict, int defaultValue, const char *fmt, ...) noexcept
    SW_PRINTF(3, 4);
int64_t Dictionary_GetInt64(Dictionary *dict, int64_t defaultValue, const char *fmt, ...) noexcept
    SW_PRINTF(3, 4);
double Dictionary_GetDouble(Dictionary *dict, double defaultValue, const char *fmt, ...) noexcept
    SW_PRINTF(3, 4);
// Boolean lookup that never creates an entry.
bool Dictionary_GetBoolNoRecord(Dictionary *dict, bool defaultValue, const char *fmt, ...) noexcept
    SW_PRINTF(3, 4);

// An entry exists (recorded defaults included).
bool Dictionary_IsDefined(Dictionary *dict, const char *fmt, ...) noexcept SW_PRINTF(2, 3);
// No entry, or only a recorded default.
bool Dictionary_NotSet(Dictionary *dict, const char *fmt, ...) noexcept SW_PRINTF(2, 3);
// Removes an entry (no-op when absent).
void Dictionary_Unset(Dictionary *dict, const char *fmt, ...) noexcept SW_PRINTF(2, 3);

// Calls fn for every entry in insertion order (recorded defaults included).
typedef void (*DictIterateFn)(void *ctx, const char *name, DictType type, const DictValue &value);
void Dictionary_Iterate(Dictionary *dict, DictIterateFn fn, void *ctx) noexcept;

bool Dictionary_IsModified(const Dictionary *dict) noexcept;
// Encoding number of the dictionary's text, or -2 while not yet settled.
int Dictionary_GetEncoding(const Dictionary *dict) noexcept;

// Logs every entry except recorded defaults at info level, one
// "DICT %25s = ..." line each.
void Dictionary_Log(Dictionary *dict) noexcept;

// Renders the dictionary as file text. *buffer is malloc'ed (free() it) and
// NUL-terminated; *length excludes the NUL.
bool Dictionary_WriteToBuffer(Dictionary *dict, char **buffer, size_t *length) noexcept;
// Writes the dictionary to path (created with mode 0754 when missing),
// truncated to the new length and synced to disk.
bool Dictionary_WriteFile(Dictionary *dict, const char *path, MsgList **messages) noexcept;
