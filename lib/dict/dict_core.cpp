// Dictionary life, the name index, setters, typed getters and iteration.
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "lib/dict/dict_internal.h"

namespace {

char FoldCase(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool NamesEqual(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (size_t i = 0; i < a.size(); i++) {
    if (FoldCase(a[i]) != FoldCase(b[i])) {
      return false;
    }
  }
  return true;
}

// FNV-1a over the case-folded name.
size_t Bucket(std::string_view name) {
  uint32_t h = 2166136261u;
  for (char c : name) {
    h ^= static_cast<unsigned char>(FoldCase(c));
    h *= 16777619u;
  }
  return h % kDictBuckets;
}

bool IsTextType(DictType type) { return type == DICT_ANY || type == DICT_STRING; }

// Defaults that are never recorded: no text, false, 0, 0.0, and -1 for the
// integer types.
bool IsUnrecordedDefault(DictType type, const DictValue &v) {
  switch (type) {
  case DICT_ANY:
  case DICT_STRING:
    return v.str == nullptr;
  case DICT_BOOL:
    return !v.b;
  case DICT_LONG:
  case DICT_TRISTATE:
    return v.l == 0 || v.l == -1;
  case DICT_INT64:
    return v.i64 == 0 || v.i64 == -1;
  case DICT_DOUBLE:
    return v.d == 0.0;
  }
  return true;
}

void StoreValue(DictEntry *e, DictType type, const DictValue &v) {
  if (IsTextType(type)) {
    if (v.str == nullptr) {
      e->text.Reset();
    } else {
      e->text.Assign(v.str);
    }
  } else {
    e->text.Reset();
    e->b = v.b;
    e->l = v.l;
    e->d = v.d;
    e->i64 = v.i64;
  }
  e->rendered.Reset();
  e->type = type;
}

bool SameValue(const DictEntry *e, DictType type, const DictValue &v) {
  if (IsTextType(type)) {
    if (!IsTextType(e->type)) {
      return false;
    }
    if (v.str == nullptr || e->text.IsNone()) {
      return v.str == nullptr && e->text.IsNone();
    }
    return e->text.View() == std::string_view(v.str);
  }
  if (e->type != type) {
    return false;
  }
  switch (type) {
  case DICT_BOOL:
    return e->b == v.b;
  case DICT_LONG:
  case DICT_TRISTATE:
    return e->l == v.l;
  case DICT_DOUBLE:
    return e->d == v.d;
  case DICT_INT64:
    return e->i64 == v.i64;
  default:
    return false;
  }
}

DictValue ValueOf(const DictEntry *e) {
  DictValue v;
  v.str = e->text.Get();
  v.b = e->b;
  v.l = e->l;
  v.d = e->d;
  v.i64 = e->i64;
  return v;
}

void SetValue(Dictionary *dict, const char *name, DictType type, const DictValue &v) {
  DictEntry *e = DictFind(dict, name);
  if (e == nullptr) {
    e = DictAdd(dict, name);
    StoreValue(e, type, v);
    e->modified = 1;
    dict->modified = true;
    return;
  }
  bool changed = e->isDefault || !SameValue(e, type, v);
  e->isDefault = 0;
  if (changed) {
    StoreValue(e, type, v);
    e->modified = 1;
    dict->modified = true;
  } else {
    e->type = type;  // e.g. untyped text that a caller now sets as a string
  }
}

void ClearAll(Dictionary *dict) {
  int savedErrno = errno;
  dict->lines.clear();
  dict->entries.clear();
  dict->buckets.fill(nullptr);
  dict->encoding = kDictNoEncoding;
  dict->modified = false;
  errno = savedErrno;
}

}  // namespace

const char *DictFormatName(char *buf, const char *fmt, va_list args) {
  if (fmt == nullptr) {
    buf[0] = '\0';
    return buf;
  }
  vsnprintf(buf, kDictNameMax, fmt, args);
  return buf;
}

DictEntry *DictFind(Dictionary *dict, std::string_view name) {
  for (DictEntry *e = dict->buckets[Bucket(name)]; e != nullptr; e = e->bucketNext) {
    if (NamesEqual(e->name.View(), name)) {
      return e;
    }
  }
  return nullptr;
}

DictEntry *DictAdd(Dictionary *dict, std::string_view name) {
  DictEntry &e = dict->entries.emplace_back();
  e.name.Assign(name);
  size_t b = Bucket(name);
  e.bucketNext = dict->buckets[b];
  dict->buckets[b] = &e;
  return &e;
}

void DictRemove(Dictionary *dict, DictEntry *entry) {
  DictEntry **link = &dict->buckets[Bucket(entry->name.View())];
  while (*link != nullptr && *link != entry) {
    link = &(*link)->bucketNext;
  }
  if (*link == entry) {
    *link = entry->bucketNext;
  }
  if (entry->line != nullptr) {
    entry->line->entry = nullptr;
    entry->line->entryRemoved = true;
  }
  for (auto it = dict->entries.begin(); it != dict->entries.end(); ++it) {
    if (&*it == entry) {
      int savedErrno = errno;
      dict->entries.erase(it);
      errno = savedErrno;
      break;
    }
  }
  dict->modified = true;
}

std::string DictRenderValue(const DictEntry &e) {
  char buf[64];
  switch (e.type) {
  case DICT_ANY:
  case DICT_STRING:
    return std::string(e.text.View());
  case DICT_BOOL:
    return e.b ? "TRUE" : "FALSE";
  case DICT_LONG:
    snprintf(buf, sizeof buf, "%d", e.l);
    return buf;
  case DICT_DOUBLE:
    snprintf(buf, sizeof buf, "%.9g", e.d);
    return buf;
  case DICT_TRISTATE:
    return e.l == 0 ? "FALSE" : e.l == 1 ? "TRUE" : "DEFAULT";
  case DICT_INT64:
    snprintf(buf, sizeof buf, "%" PRId64, e.i64);
    return buf;
  }
  return {};
}

Dictionary *Dictionary_Create(void) noexcept { return new Dictionary(); }

void Dictionary_Free(Dictionary *dict) noexcept {
  if (dict != nullptr) {
    ClearAll(dict);
    delete dict;
  }
}

void Dictionary_Clear(Dictionary *dict) noexcept {
  if (dict != nullptr) {
    ClearAll(dict);
  }
}

bool Dictionary_Get(Dictionary *dict, DictType type, const DictValue &def, DictValue *out,
                    const char *name) noexcept {
  if (type < DICT_ANY || type > DICT_INT64 || out == nullptr) {
    return false;
  }
  DictEntry *e = DictFind(dict, name);
  if (e == nullptr) {
    if (IsUnrecordedDefault(type, def)) {
      *out = def;
      return true;
    }
    e = DictAdd(dict, name);
    StoreValue(e, type, def);
    e->isDefault = 1;
    *out = ValueOf(e);
    return true;
  }

  if (e->type == type || (IsTextType(type) && IsTextType(e->type))) {
    if (e->type == DICT_ANY) {
      e->type = type;
    }
    *out = ValueOf(e);
    return true;
  }

  if (e->type == DICT_ANY) {
    // Untyped file text is converted once, whether or not it converts: a
    // failure is reported now and the default it fell back to is kept as
    // the entry's value, so later lookups neither repeat the message nor
    // disagree with this one. The entry stays unmodified: its file line is
    // written back as the user wrote it.
    DictValue converted;
    DictConvertText(e->text.View(), e->name.Get(), type, def, &converted);
    StoreValue(e, type, converted);
    *out = ValueOf(e);
    return true;
  }

  // A typed entry read as another type: its own type wins; the caller gets
  // the stored value converted through its text form, the entry unchanged.
  std::string text = DictRenderValue(*e);
  if (IsTextType(type)) {
    e->rendered.Assign(text);
    *out = DictValue();
    out->str = e->rendered.Get();
    return true;
  }
  DictConvertText(text, e->name.Get(), type, def, out);
  return true;
}

namespace {

DictValue GetFormatted(Dictionary *dict, DictType type, const DictValue &def, const char *fmt,
                       va_list args) {
  char name[kDictNameMax];
  DictFormatName(name, fmt, args);
  DictValue out;
  if (dict == nullptr) {
    return def;
  }
  Dictionary_Get(dict, type, def, &out, name);
  return out;
}

}  // namespace

// The typed getters: the name is formatted, the default given as the
// member of a DictValue, and the same member of the answer returned.
#define DICT_GETTER(fnName, valueType, dictType, member)                                      \
  valueType fnName(Dictionary *dict, valueType defaultValue, const char *fmt, ...) noexcept { \
    DictValue def;                                                                          \
    def.member = defaultValue;                                                              \
    va_list args;                                                                           \
    va_start(args, fmt);                                                                    \
    DictValue v = GetFormatted(dict, dictType, def, fmt, args);                             \
    va_end(args);                                                                           \
    return v.member;                                                                        \
  }

DICT_GETTER(Dictionary_GetString, const char *, DICT_STRING, str)
DICT_GETTER(Dictionary_GetBool, bool, DICT_BOOL, b)
DICT_GETTER(Dictionary_GetLong, int32_t, DICT_LONG, l)
DICT_GETTER(Dictionary_GetTriState, int, DICT_TRISTATE, l)
DICT_GETTER(Dictionary_GetInt64, int64_t, DICT_INT64, i64)
DICT_GETTER(Dictionary_GetDouble, double, DICT_DOUBLE, d)

#undef DICT_GETTER

bool Dictionary_GetBoolNoRecord(Dictionary *dict, bool defaultValue, const char *fmt, ...) noexcept {
  char name[kDictNameMax];
  va_list args;
  va_start(args, fmt);
  DictFormatName(name, fmt, args);
  va_end(args);
  if (dict == nullptr || DictFind(dict, name) == nullptr) {
    return defaultValue;
  }
  DictValue def;
  def.b = defaultValue;
  DictValue out;
  Dictionary_Get(dict, DICT_BOOL, def, &out, name);
  return out.b;
}

#define DICT_SETTER(fnName, argType, dictType, member)                                   \
  void fnName(Dictionary *dict, argType value, const char *fmt, ...) noexcept {          \
    if (dict == nullptr) {                                                               \
      return;                                                                            \
    }                                                                                    \
    char name[kDictNameMax];                                                             \
    va_list args;                                                                        \
    va_start(args, fmt);                                                                 \
    DictFormatName(name, fmt, args);                                                     \
    va_end(args);                                                                        \
    DictValue v;                                                                         \
    v.member = value;                                                                    \
    SetValue(dict, name, dictType, v);                                                   \
  }

DICT_SETTER(Dictionary_SetString, const char *, DICT_STRING, str)
DICT_SETTER(Dictionary_SetUntyped, const char *, DICT_ANY, str)
DICT_SETTER(Dictionary_SetBool, bool, DICT_BOOL, b)
DICT_SETTER(Dictionary_SetLong, int32_t, DICT_LONG, l)
DICT_SETTER(Dictionary_SetTriState, int, DICT_TRISTATE, l)
DICT_SETTER(Dictionary_SetInt64, int64_t, DICT_INT64, i64)
DICT_SETTER(Dictionary_SetDouble, double, DICT_DOUBLE, d)

#undef DICT_SETTER

bool Dictionary_SetFromText(Dictionary *dict, const char *text, bool refuseExisting,
                            MsgList **messages) noexcept {
  if (dict == nullptr || text == nullptr) {
    return false;
  }
  std::string_view all(text);
  size_t eq = all.find('=');
  std::string name(all.substr(0, eq));
  std::string value(eq == std::string_view::npos ? std::string_view() : all.substr(eq + 1));
  DictEntry *e = DictFind(dict, name);
  if (e != nullptr && !e->isDefault && refuseExisting) {
    DictMessage(messages, "@&!*@*@(msg.dictionary.alreadyDefined.string)"
                          "Variable \"%s\" is already defined.\n",
                name.c_str());
    return false;
  }
  DictValue v;
  v.str = value.c_str();
  SetValue(dict, name.c_str(), DICT_ANY, v);
  return true;
}

bool Dictionary_IsDefined(Dictionary *dict, const char *fmt, ...) noexcept {
  char name[kDictNameMax];
  va_list args;
  va_start(args, fmt);
  DictFormatName(name, fmt, args);
  va_end(args);
  return dict != nullptr && DictFind(dict, name) != nullptr;
}

bool Dictionary_NotSet(Dictionary *dict, const char *fmt, ...) noexcept {
  char name[kDictNameMax];
  va_list args;
  va_start(args, fmt);
  DictFormatName(name, fmt, args);
  va_end(args);
  if (dict == nullptr) {
    return true;
  }
  DictEntry *e = DictFind(dict, name);
  return e == nullptr || e->isDefault;
}

void Dictionary_Unset(Dictionary *dict, const char *fmt, ...) noexcept {
  char name[kDictNameMax];
  va_list args;
  va_start(args, fmt);
  DictFormatName(name, fmt, args);
  va_end(args);
  if (dict == nullptr) {
    return;
  }
  DictEntry *e = DictFind(dict, name);
  if (e != nullptr) {
    DictRemove(dict, e);
  }
}

void Dictionary_Iterate(Dictionary *dict, DictIterateFn fn, void *ctx) noexcept {
  if (dict == nullptr || fn == nullptr) {
    return;
  }
  for (const DictEntry &e : dict->entries) {
    fn(ctx, e.name.Get(), e.type, ValueOf(&e));
  }
}

bool Dictionary_IsModified(const Dictionary *dict) noexcept {
  return dict != nullptr && dict->modified;
}

int Dictionary_GetEncoding(const Dictionary *dict) noexcept {
  return dict != nullptr ? dict->encoding : kDictNoEncoding;
}
