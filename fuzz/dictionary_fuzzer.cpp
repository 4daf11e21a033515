// Fuzzes the dictionary reader with arbitrary file contents: every entry it
// accepts is read with every type, the dictionary is written back and the
// written text must read back with the same values.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lib/dict/dict_log.h"
#include "lib/dict/dictionary.h"
#include "lib/unicode/unicode.h"
#include "lib/user/msg.h"

namespace {

void QuietSink(uint32_t, const char *) {}

// The first byte picks the default encoding the reader falls back to.
int PickEncoding(uint8_t selector) {
  static const int kEncodings[] = {STRING_ENCODING_UTF8, STRING_ENCODING_ISO_8859_1,
                                   STRING_ENCODING_US_ASCII, STRING_ENCODING_WINDOWS_1252,
                                   kDictCurrentEncoding};
  return kEncodings[selector % (sizeof kEncodings / sizeof kEncodings[0])];
}

void ReadEveryType(Dictionary *dict, const std::vector<std::string> &names) {
  for (const std::string &name : names) {
    for (int type = DICT_ANY; type <= DICT_INT64; type++) {
      DictValue def;
      def.str = "d";
      def.b = true;
      def.l = 7;
      def.d = 1.5;
      def.i64 = 9;
      DictValue out;
      Dictionary_Get(dict, static_cast<DictType>(type), def, &out, name.c_str());
      if (out.str != nullptr) {
        volatile size_t n = strlen(out.str);
        (void)n;
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  DictLog_SetSink(QuietSink);
  if (size == 0) {
    return 0;
  }
  int encoding = PickEncoding(data[0]);
  const char *text = reinterpret_cast<const char *>(data + 1);
  size_t length = size - 1;

  Dictionary *dict = Dictionary_Create();
  MsgList *msgs = nullptr;
  bool loaded = Dictionary_LoadFromBuffer(dict, "fuzz", text, length, true, encoding, &msgs);
  MsgList_Free(msgs);
  msgs = nullptr;

  std::vector<std::string> names;
  Dictionary_Iterate(
      dict,
      [](void *ctx, const char *name, DictType, const DictValue &) {
        static_cast<std::vector<std::string> *>(ctx)->push_back(name);
      },
      &names);

  // A clean load must survive the round trip unchanged (before typed reads
  // turn values into rendered numbers).
  if (loaded) {
    char *buf = nullptr;
    size_t len = 0;
    if (Dictionary_WriteToBuffer(dict, &buf, &len)) {
      Dictionary *back = Dictionary_Create();
      if (!Dictionary_LoadFromBuffer(back, "fuzz-back", buf, len, true, STRING_ENCODING_UTF8,
                                     &msgs)) {
        abort();
      }
      for (const std::string &name : names) {
        const char *a = Dictionary_GetString(dict, nullptr, "%s", name.c_str());
        const char *b = Dictionary_GetString(back, nullptr, "%s", name.c_str());
        if ((a == nullptr) != (b == nullptr) || (a != nullptr && strcmp(a, b) != 0)) {
          abort();
        }
      }
      Dictionary_Free(back);
      MsgList_Free(msgs);
      msgs = nullptr;
      free(buf);
    }
  }

  ReadEveryType(dict, names);
  Dictionary_SetFromText(dict, "fuzz.extra=|41\x01", true, &msgs);
  MsgList_Free(msgs);
  char *buf = nullptr;
  size_t len = 0;
  if (Dictionary_WriteToBuffer(dict, &buf, &len)) {
    free(buf);
  }
  Dictionary_Free(dict);
  Msg_Reset(false);
  return 0;
}
