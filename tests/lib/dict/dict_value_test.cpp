// Typed access: conversion rules, recorded defaults, setters, the dump.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "dict_test_util.h"

namespace {

// Loads "v = <text>" and returns the dictionary.
void LoadValue(Dictionary *d, const std::string &text) {
  ASSERT_TRUE(LoadText(d, "v = \"" + text + "\"\n", nullptr)) << text;
}

TEST(DictValue, BooleanWords) {
  for (const char *t : {"", "true", "T", "yes", "Y", "On", "1", "TRUE"}) {
    DictHolder d;
    LoadValue(d, t);
    EXPECT_TRUE(Dictionary_GetBool(d, false, "v")) << t;
    EXPECT_TRUE(TakeThreadMessageIds().empty()) << t;
  }
  for (const char *t : {"false", "F", "no", "N", "OFF", "0"}) {
    DictHolder d;
    LoadValue(d, t);
    EXPECT_FALSE(Dictionary_GetBool(d, true, "v")) << t;
    EXPECT_TRUE(TakeThreadMessageIds().empty()) << t;
  }
  DictHolder d;
  LoadValue(d, "2");
  EXPECT_TRUE(Dictionary_GetBool(d, true, "v"));
  MsgList *list = Msg_TakeMsgList();
  auto m = TakeMessages(list);
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0].first, "msg.dictionary.notBoolean");
  EXPECT_EQ(m[0].second,
            "Value \"2\" for variable \"v\" is not a valid boolean value. Using value \"TRUE\".\n");
}

TEST(DictValue, Integers32) {
  struct Case {
    const char *text;
    int32_t expect;
    const char *messageId;  // null: converts
  } cases[] = {
      {"0x10", 16, nullptr},
      {"010", 8, nullptr},
      {"-42", -42, nullptr},
      {"4294967295", -1, nullptr},
      {"0xFFFFFFFF", -1, nullptr},
      {"2147483647", INT32_MAX, nullptr},
      {"-2147483648", INT32_MIN, nullptr},
      {"4294967296", 7, "msg.dictionary.integerOutOfRange"},
      {"-2147483649", 7, "msg.dictionary.integerOutOfRange"},
      {"99999999999999999999999", 7, "msg.dictionary.integerOutOfRange"},
      {"12abc", 7, "msg.dictionary.notInteger"},
      {"", 7, "msg.dictionary.notInteger"},
      {"abc", 7, "msg.dictionary.notInteger"},
      {"09", 7, "msg.dictionary.notInteger"},
  };
  for (const Case &c : cases) {
    DictHolder d;
    LoadValue(d, c.text);
    EXPECT_EQ(Dictionary_GetLong(d, 7, "v"), c.expect) << c.text;
    std::vector<std::string> ids = TakeThreadMessageIds();
    if (c.messageId == nullptr) {
      EXPECT_TRUE(ids.empty()) << c.text;
    } else {
      ASSERT_EQ(ids.size(), 1u) << c.text;
      EXPECT_EQ(ids[0], c.messageId) << c.text;
    }
  }
  DictHolder d;
  LoadValue(d, "12abc");
  Dictionary_GetLong(d, 7, "v");
  MsgList *list = Msg_TakeMsgList();
  auto m = TakeMessages(list);
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0].second,
            "Value \"12abc\" for variable \"v\" is not a valid integer value. Using value \"7\".\n");
}

TEST(DictValue, Integers64DoublesAndTriStates) {
  struct Case {
    DictType type;
    const char *text;
    const char *messageId;
  } failing[] = {
      {DICT_INT64, "18446744073709551616", "msg.dictionary.integer64OutOfRange"},
      {DICT_INT64, "5x", "msg.dictionary.notInteger64"},
      {DICT_DOUBLE, "1e999", "msg.dictionary.doubleOutOfRange"},
      {DICT_DOUBLE, "1.5.2", "msg.dictionary.notFloat"},
      {DICT_DOUBLE, "", "msg.dictionary.notFloat"},
      {DICT_TRISTATE, "maybe", "msg.dictionary.notTristate"},
  };
  for (const Case &c : failing) {
    DictHolder d;
    LoadValue(d, c.text);
    DictValue def;
    def.i64 = 3;
    def.d = 2.5;
    def.l = 1;
    DictValue out;
    ASSERT_TRUE(Dictionary_Get(d, c.type, def, &out, "v"));
    EXPECT_EQ(out.i64, 3);
    EXPECT_EQ(out.d, 2.5);
    EXPECT_EQ(out.l, 1);
    std::vector<std::string> ids = TakeThreadMessageIds();
    ASSERT_EQ(ids.size(), 1u) << c.text;
    EXPECT_EQ(ids[0], c.messageId) << c.text;
  }

  DictHolder d;
  ASSERT_TRUE(LoadText(d,
                       "big = 0xFFFFFFFFFFFFFFFF\nneg = -5\noct = 0777\n"
                       "dbl = 2.5e3\ntiny = 1e-320\n"
                       "t1 = yes\nt2 = Off\nt3 = DontCare\nt4 = AUTO\nt5 = default\n",
                       nullptr));
  EXPECT_EQ(Dictionary_GetInt64(d, 0, "big"), -1);
  EXPECT_EQ(Dictionary_GetInt64(d, 0, "neg"), -5);
  EXPECT_EQ(Dictionary_GetInt64(d, 0, "oct"), 0777);
  EXPECT_EQ(Dictionary_GetDouble(d, 0, "dbl"), 2500.0);
  EXPECT_GT(Dictionary_GetDouble(d, 0, "tiny"), 0.0);  // underflow is not out of range
  EXPECT_EQ(Dictionary_GetTriState(d, 0, "t1"), 1);
  EXPECT_EQ(Dictionary_GetTriState(d, 1, "t2"), 0);
  EXPECT_EQ(Dictionary_GetTriState(d, 0, "t3"), -1);
  EXPECT_EQ(Dictionary_GetTriState(d, 0, "t4"), -1);
  EXPECT_EQ(Dictionary_GetTriState(d, 0, "t5"), -1);
  EXPECT_TRUE(TakeThreadMessageIds().empty());
}

TEST(DictValue, EscapedNulMakesANumberInvalid) {
  DictHolder d;
  LoadValue(d, "12|0034");
  EXPECT_EQ(Dictionary_GetLong(d, 5, "v"), 5);
  EXPECT_EQ(TakeThreadMessageIds(), std::vector<std::string>{"msg.dictionary.notInteger"});
}

TEST(DictValue, ConversionHappensOnceAndTheTypeSticks) {
  DictHolder d;
  LoadValue(d, "0x20");
  EXPECT_EQ(Dictionary_GetLong(d, 0, "v"), 32);
  // Now a 32-bit integer: read as a string it is rendered, not the file text.
  EXPECT_STREQ(Dictionary_GetString(d, nullptr, "v"), "32");
  EXPECT_EQ(Dictionary_GetLong(d, 0, "v"), 32);
  EXPECT_EQ(Dictionary_GetInt64(d, 0, "v"), 32);
  // A failed conversion also happens once: reported once, its default kept
  // for every later lookup (whatever default that one passes), and the
  // file's line written back as the user wrote it.
  DictHolder e;
  ASSERT_TRUE(LoadText(e, "v = abc\n", nullptr));
  EXPECT_EQ(Dictionary_GetLong(e, 4, "v"), 4);
  EXPECT_EQ(TakeThreadMessageIds(), std::vector<std::string>{"msg.dictionary.notInteger"});
  EXPECT_EQ(Dictionary_GetLong(e, 9, "v"), 4);
  EXPECT_EQ(Dictionary_GetLong(e, 4, "v"), 4);
  EXPECT_TRUE(TakeThreadMessageIds().empty());
  char *buf = nullptr;
  size_t len = 0;
  ASSERT_TRUE(Dictionary_WriteToBuffer(e, &buf, &len));
  EXPECT_NE(std::string(buf, len).find("\nv = abc\n"), std::string::npos) << buf;
  free(buf);
}

TEST(DictValue, RecordedDefaults) {
  DictHolder d;
  // Zero and -1 defaults are returned without creating anything.
  EXPECT_EQ(Dictionary_GetLong(d, 0, "zero"), 0);
  EXPECT_EQ(Dictionary_GetLong(d, -1, "minus"), -1);
  EXPECT_EQ(Dictionary_GetInt64(d, -1, "minus64"), -1);
  EXPECT_FALSE(Dictionary_GetBool(d, false, "no"));
  EXPECT_EQ(Dictionary_GetString(d, nullptr, "none"), nullptr);
  EXPECT_EQ(Dictionary_GetDouble(d, 0.0, "dzero"), 0.0);
  for (const char *n : {"zero", "minus", "minus64", "no", "none", "dzero"}) {
    EXPECT_FALSE(Dictionary_IsDefined(d, "%s", n)) << n;
  }
  // Any other default is recorded and answers later lookups.
  EXPECT_EQ(Dictionary_GetLong(d, 100, "sound.bufferTime"), 100);
  EXPECT_EQ(Dictionary_GetLong(d, 200, "sound.bufferTime"), 100);
  EXPECT_TRUE(Dictionary_IsDefined(d, "sound.bufferTime"));
  EXPECT_TRUE(Dictionary_NotSet(d, "sound.bufferTime"));
  EXPECT_STREQ(Dictionary_GetString(d, "dflt", "s"), "dflt");
  EXPECT_STREQ(Dictionary_GetString(d, "other", "s"), "dflt");
  EXPECT_TRUE(Dictionary_GetBool(d, true, "b"));
  EXPECT_TRUE(Dictionary_GetBool(d, false, "b"));
  // The no-record form never creates.
  EXPECT_TRUE(Dictionary_GetBoolNoRecord(d, true, "nr"));
  EXPECT_FALSE(Dictionary_IsDefined(d, "nr"));
  // A real value replaces a recorded default and counts as set.
  Dictionary_SetLong(d, 300, "sound.bufferTime");
  EXPECT_FALSE(Dictionary_NotSet(d, "sound.bufferTime"));
  EXPECT_EQ(Dictionary_GetLong(d, 100, "sound.bufferTime"), 300);
}

TEST(DictValue, SettersMarkModifiedOnlyOnChange) {
  DictHolder d;
  ASSERT_TRUE(LoadText(d, "a = 5\ns = text\n", nullptr));
  EXPECT_FALSE(Dictionary_IsModified(d));
  Dictionary_SetString(d, "text", "s");
  EXPECT_FALSE(Dictionary_IsModified(d));
  EXPECT_EQ(Dictionary_GetLong(d, 0, "a"), 5);
  Dictionary_SetLong(d, 5, "a");
  EXPECT_FALSE(Dictionary_IsModified(d));
  Dictionary_SetLong(d, 6, "a");
  EXPECT_TRUE(Dictionary_IsModified(d));
  EXPECT_EQ(Dictionary_GetLong(d, 0, "a"), 6);

  DictHolder e;
  Dictionary_SetDouble(e, 1.5, "x.%d", 1);
  EXPECT_TRUE(Dictionary_IsModified(e));
  EXPECT_EQ(Dictionary_GetDouble(e, 0, "X.1"), 1.5);
  Dictionary_Unset(e, "x.1");
  EXPECT_FALSE(Dictionary_IsDefined(e, "x.1"));
}

TEST(DictValue, SetFromText) {
  DictHolder d;
  EXPECT_TRUE(Dictionary_SetFromText(d, "a=b=c", false, nullptr));
  EXPECT_STREQ(Dictionary_GetString(d, nullptr, "a"), "b=c");
  EXPECT_TRUE(Dictionary_SetFromText(d, "flag", false, nullptr));
  EXPECT_STREQ(Dictionary_GetString(d, nullptr, "flag"), "");
  EXPECT_TRUE(Dictionary_GetBool(d, false, "flag"));  // empty text reads as true

  MsgList *msgs = nullptr;
  EXPECT_FALSE(Dictionary_SetFromText(d, "A=other", true, &msgs));
  auto m = TakeMessages(msgs);
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0].first, "msg.dictionary.alreadyDefined.string");
  EXPECT_EQ(m[0].second, "Variable \"A\" is already defined.\n");
  EXPECT_STREQ(Dictionary_GetString(d, nullptr, "a"), "b=c");
  EXPECT_TRUE(Dictionary_SetFromText(d, "A=other", false, nullptr));
  EXPECT_STREQ(Dictionary_GetString(d, nullptr, "a"), "other");
}

TEST(DictValue, DumpFormat) {
  LogCapture log;
  DictHolder d;
  ASSERT_TRUE(LoadText(d, "text = hello\nnum = 12\n", nullptr));
  Dictionary_GetLong(d, 0, "num");
  Dictionary_SetBool(d, true, "flag");
  Dictionary_SetDouble(d, 0.25, "ratio");
  Dictionary_SetTriState(d, -1, "tri");
  Dictionary_SetInt64(d, 1LL << 40, "big");
  Dictionary_SetString(d, nullptr, "nothing");
  Dictionary_GetLong(d, 100, "recorded");  // recorded defaults are not dumped
  Dictionary_Log(d);
  auto line = [](std::string name, std::string value) {
    return "DICT " + std::string(25 - name.size(), ' ') + name + " = \"" + value + "\"\n";
  };
  std::vector<std::string> expect = {
      line("text", "hello"), line("num", "12"),  line("flag", "TRUE"),          line("ratio", "0.25"),
      line("tri", "-1"),     line("big", "1099511627776"), line("nothing", ""),
  };
  EXPECT_EQ(LogCapture::Lines(), expect);
}

TEST(DictValue, IterateSeesInsertionOrder) {
  DictHolder d;
  Dictionary_SetString(d, "1", "z");
  Dictionary_SetLong(d, 2, "a");
  std::vector<std::string> names;
  Dictionary_Iterate(
      d,
      [](void *ctx, const char *name, DictType, const DictValue &) {
        static_cast<std::vector<std::string> *>(ctx)->push_back(name);
      },
      &names);
  EXPECT_EQ(names, (std::vector<std::string>{"z", "a"}));
}

}  // namespace
