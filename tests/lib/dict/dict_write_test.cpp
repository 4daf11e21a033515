// Writing dictionaries back: byte-for-byte preservation, fresh lines,
// escaping, the encoding upgrade and the file itself.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "dict_test_util.h"
#include "lib/unicode/unicode.h"

namespace {

std::string Write(Dictionary *d) {
  char *buf = nullptr;
  size_t len = 0;
  EXPECT_TRUE(Dictionary_WriteToBuffer(d, &buf, &len));
  std::string out(buf != nullptr ? buf : "", len);
  free(buf);
  return out;
}

TEST(DictWrite, UnmodifiedLinesComeBackByteForByte) {
  const std::string body =
      "plain   =   value    # trailing note\n"
      "quoted = \"say |22hi|22\"\n"
      "\t\n"
      "   # indented comment\n"
      "dup = 1\n"
      "DUP = 2\n"
      "numeric = 0x10\n";
  DictHolder d;
  MsgList *msgs = nullptr;
  LoadText(d, "# header one\n#header two\n" + body, &msgs, STRING_ENCODING_UTF8);
  MsgList_Free(msgs);  // the duplicate
  EXPECT_STREQ(Dictionary_GetString(d, nullptr, "quoted"), "say \"hi\"");
  EXPECT_EQ(Dictionary_GetLong(d, 0, "numeric"), 16);  // converted, not modified
  EXPECT_EQ(Write(d), "# header one\n#header two\n.encoding = \"UTF-8\"\n" + body);
}

TEST(DictWrite, ChangedAndNewEntriesGetFreshLines) {
  DictHolder d;
  ASSERT_TRUE(LoadText(d, "keep = 1 # c\nchange = old # c\ngone = x\n", nullptr,
                       STRING_ENCODING_UTF8));
  Dictionary_SetString(d, "new \"v\"|\x01\t\x7f", "change");
  Dictionary_Unset(d, "gone");
  Dictionary_SetBool(d, false, "b");
  Dictionary_SetLong(d, -3, "l");
  Dictionary_SetDouble(d, 0.1, "d");  // %.9g
  Dictionary_SetTriState(d, -1, "t");
  Dictionary_SetInt64(d, 1LL << 40, "i");
  Dictionary_GetLong(d, 100, "recorded");  // never written
  EXPECT_EQ(Write(d),
            ".encoding = \"UTF-8\"\n"
            "keep = 1 # c\n"
            "change = \"new |22v|22|7C|01\t|7F\"\n"
            "b = \"FALSE\"\n"
            "l = \"-3\"\n"
            "d = \"0.1\"\n"
            "t = \"DEFAULT\"\n"
            "i = \"1099511627776\"\n");
}

TEST(DictWrite, WrittenTextReadsBackToTheSameValues) {
  DictHolder d;
  static const char kNasty[] = "a\"b|c\n\r\x1f\x7f end";
  std::string nasty(kNasty, sizeof kNasty - 1);
  Dictionary_SetString(d, nasty.c_str(), "nasty");
  Dictionary_SetString(d, "caf\xC3\xA9", "utf8");
  std::string text = Write(d);
  DictHolder back;
  MsgList *msgs = nullptr;
  ASSERT_TRUE(LoadText(back, text, &msgs)) << text;
  EXPECT_EQ(MsgList_Count(msgs), 0u);
  MsgList_Free(msgs);
  EXPECT_EQ(Dictionary_GetString(back, nullptr, "nasty"), nasty);
  EXPECT_STREQ(Dictionary_GetString(back, nullptr, "utf8"), "caf\xC3\xA9");
}

TEST(DictWrite, ValuesOutsideTheFileEncodingUpgradeItToUtf8) {
  LogCapture log;
  DictHolder d;
  ASSERT_TRUE(LoadText(d, "# caf\xE9 comment\nold = caf\xE9\n", nullptr,
                       STRING_ENCODING_ISO_8859_1));
  EXPECT_EQ(Write(d), "# caf\xE9 comment\n.encoding = \"ISO-8859-1\"\nold = caf\xE9\n");

  Dictionary_SetString(d, "\xE2\x82\xAC", "euro");  // not in Latin-1
  std::string text = Write(d);
  // The kept lines are converted too, so the file reads back as UTF-8.
  EXPECT_EQ(text, "# caf\xC3\xA9 comment\n.encoding = \"UTF-8\"\nold = caf\xC3\xA9\n"
                  "euro = \"\xE2\x82\xAC\"\n");
  EXPECT_TRUE(log.Contains(
      "Dictionary_WriteToBuffer: upgrading encoding from ISO-8859-1 to UTF-8\n"));
  EXPECT_EQ(Dictionary_GetEncoding(d), STRING_ENCODING_UTF8);

  DictHolder back;
  ASSERT_TRUE(LoadText(back, text, nullptr, STRING_ENCODING_ISO_8859_1));
  EXPECT_STREQ(Dictionary_GetString(back, nullptr, "old"), "caf\xC3\xA9");
  EXPECT_STREQ(Dictionary_GetString(back, nullptr, "euro"), "\xE2\x82\xAC");
}

TEST(DictWrite, LatinOneValuesAreWrittenInTheFileEncoding) {
  DictHolder d;
  ASSERT_TRUE(LoadText(d, "a = 1\n", nullptr, STRING_ENCODING_ISO_8859_1));
  Dictionary_SetString(d, "\xC3\xA9", "e");
  EXPECT_EQ(Write(d), ".encoding = \"ISO-8859-1\"\na = 1\ne = \"\xE9\"\n");
}

TEST(DictWrite, FileModeTruncationAndContent) {
  ScratchDir dir;
  std::string path = dir.path() + "/prefs";
  mode_t old = umask(077);
  DictHolder d;
  Dictionary_SetString(d, "v", "k");
  ASSERT_TRUE(Dictionary_WriteFile(d, path.c_str(), nullptr));
  umask(old);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0754u);
  EXPECT_EQ(ReadFile(path), Write(d));

  // An existing file keeps its mode and is cut to the new length.
  std::string existing = dir.Write("existing", std::string(4096, 'x'));
  ASSERT_EQ(chmod(existing.c_str(), 0600), 0);
  ASSERT_TRUE(Dictionary_WriteFile(d, existing.c_str(), nullptr));
  ASSERT_EQ(stat(existing.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(ReadFile(existing), Write(d));

  MsgList *msgs = nullptr;
  std::string bad = dir.path() + "/no/such/dir/file";
  EXPECT_FALSE(Dictionary_WriteFile(d, bad.c_str(), &msgs));
  auto m = TakeMessages(msgs);
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0].first, "msg.dictionary.open");
}

}  // namespace
