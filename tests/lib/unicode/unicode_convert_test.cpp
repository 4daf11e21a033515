// Validation and conversion between encodings and UTF-8: strict against
// lenient handling of invalid input, and the cut rules of copies into a
// caller's buffer.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "lib/unicode/unicode.h"

namespace {

struct FreeDeleter {
  void operator()(char *p) const { free(p); }
};
using Owned = std::unique_ptr<char, FreeDeleter>;

std::string Str(const Owned &p) { return p ? std::string(p.get()) : std::string("<null>"); }

TEST(UnicodeCopyBytes, Utf8CutNeverSplitsACharacter) {
  const char *text = "a\xC3\xA9";  // a, e acute
  char buf[8];
  size_t n = 99;
  memset(buf, 'X', sizeof buf);
  EXPECT_FALSE(Unicode_CopyBytes(text, buf, 3, &n, STRING_ENCODING_UTF8));
  EXPECT_STREQ(buf, "a");
  EXPECT_EQ(n, 1u);
  EXPECT_TRUE(Unicode_CopyBytes(text, buf, 4, &n, STRING_ENCODING_UTF8));
  EXPECT_STREQ(buf, text);
  EXPECT_EQ(n, 3u);

  const char *emoji = "\xF0\x9F\x98\x80z";  // four-byte character, then z
  for (size_t size = 1; size <= 4; size++) {
    EXPECT_FALSE(Unicode_CopyBytes(emoji, buf, size, &n, STRING_ENCODING_UTF8)) << size;
    EXPECT_EQ(n, 0u) << size;
    EXPECT_EQ(buf[0], '\0');
  }
  EXPECT_FALSE(Unicode_CopyBytes(emoji, buf, 5, &n, STRING_ENCODING_UTF8));
  EXPECT_EQ(n, 4u);
  EXPECT_TRUE(Unicode_CopyBytes(emoji, buf, 6, &n, STRING_ENCODING_UTF8));
  EXPECT_FALSE(Unicode_CopyBytes(emoji, buf, 0, &n, STRING_ENCODING_UTF8));
  EXPECT_TRUE(Unicode_CopyBytes("", buf, 1, &n, STRING_ENCODING_UTF8));
}

TEST(UnicodeCopyBytes, AsciiUtf16AndOtherEncodings) {
  char buf[16];
  size_t n = 99;
  memset(buf, 'X', sizeof buf);
  EXPECT_FALSE(Unicode_CopyBytes("caf\xC3\xA9", buf, sizeof buf, &n, STRING_ENCODING_US_ASCII));
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(buf[0], 'X');  // nothing written
  EXPECT_FALSE(Unicode_CopyBytes("hello", buf, 4, &n, STRING_ENCODING_US_ASCII));
  EXPECT_STREQ(buf, "hel");

  // a, then U+1F600 as a surrogate pair: 6 bytes of UTF-16LE.
  const char *text = "a\xF0\x9F\x98\x80";
  memset(buf, 'X', sizeof buf);
  EXPECT_FALSE(Unicode_CopyBytes(text, buf, 6, &n, STRING_ENCODING_UTF16_LE));
  EXPECT_EQ(n, 2u);  // the lone high surrogate is dropped
  EXPECT_EQ(memcmp(buf, "a\0\0\0", 4), 0);
  EXPECT_FALSE(Unicode_CopyBytes(text, buf, 7, &n, STRING_ENCODING_UTF16_LE));
  EXPECT_EQ(n, 2u);
  EXPECT_TRUE(Unicode_CopyBytes(text, buf, 8, &n, STRING_ENCODING_UTF16_LE));
  EXPECT_EQ(n, 6u);
  EXPECT_EQ(memcmp(buf, "a\0\x3D\xD8\x00\xDE\0\0", 8), 0);

  EXPECT_TRUE(Unicode_CopyBytes("caf\xC3\xA9", buf, sizeof buf, &n, STRING_ENCODING_ISO_8859_1));
  EXPECT_STREQ(buf, "caf\xE9");
  EXPECT_EQ(n, 4u);
  EXPECT_FALSE(Unicode_CopyBytes("caf\xC3\xA9", buf, 4, &n, STRING_ENCODING_ISO_8859_1));
  EXPECT_STREQ(buf, "caf");
  memset(buf, 'X', sizeof buf);
  EXPECT_FALSE(Unicode_CopyBytes("\xE2\x82\xAC", buf, sizeof buf, &n, STRING_ENCODING_ISO_8859_1));
  EXPECT_EQ(n, 0u);  // the euro sign has no Latin-1 byte
  EXPECT_EQ(buf[0], 'X');
}

TEST(UnicodeConvert, StrictRefusesWhatLenientReplaces) {
  const char bad[] = "ab\xFF" "cd";
  EXPECT_EQ(Owned(Unicode_AllocStrict(bad, -1, STRING_ENCODING_UTF8)), nullptr);
  EXPECT_FALSE(Unicode_IsBufferValid(bad, -1, STRING_ENCODING_UTF8));
  Owned lenient(Unicode_AllocWithLength(bad, -1, STRING_ENCODING_UTF8));
  ASSERT_NE(lenient, nullptr);
  // The replacement keeps what follows the bad byte.
  EXPECT_EQ(Str(lenient), "ab\xEF\xBF\xBD" "cd");

  // A truncated sequence at the very end.
  Owned cut(Unicode_AllocWithLength("ok\xC3", -1, STRING_ENCODING_UTF8));
  EXPECT_EQ(Str(cut), "ok\xEF\xBF\xBD");

  // Shift_JIS: a lead byte followed by a byte that cannot trail it.
  const char sjisBad[] = "x\x81\x20y";
  StringEncoding sjis = Unicode_EncodingFromName("Shift_JIS");
  EXPECT_EQ(Owned(Unicode_AllocStrict(sjisBad, -1, sjis)), nullptr);
  EXPECT_FALSE(Unicode_IsBufferValid(sjisBad, -1, sjis));
  Owned sjisLenient(Unicode_AllocWithLength(sjisBad, -1, sjis));
  ASSERT_NE(sjisLenient, nullptr);
  EXPECT_EQ(Str(sjisLenient).back(), 'y');
  Owned kana(Unicode_AllocStrict("\x82\xA0", -1, sjis));  // HIRAGANA A
  EXPECT_EQ(Str(kana), "\xE3\x81\x82");

  EXPECT_FALSE(Unicode_IsBufferValid("a\x80", -1, STRING_ENCODING_US_ASCII));
  EXPECT_TRUE(Unicode_IsBufferValid("a\x80", -1, STRING_ENCODING_ISO_8859_1));
  EXPECT_TRUE(Unicode_IsBufferValid("\x80", 1, STRING_ENCODING_WINDOWS_1252));  // euro
  EXPECT_EQ(Str(Owned(Unicode_AllocStrict("\x80", 1, STRING_ENCODING_WINDOWS_1252))),
            "\xE2\x82\xAC");

  // UTF-16LE by the built-in decoder: a lone surrogate or an odd length fails.
  EXPECT_EQ(Str(Owned(Unicode_AllocStrict("h\0i\0", 4, STRING_ENCODING_UTF16_LE))), "hi");
  EXPECT_EQ(Str(Owned(Unicode_AllocStrict("h\0i\0\0\0", -1, STRING_ENCODING_UTF16_LE))), "hi");
  EXPECT_EQ(Owned(Unicode_AllocStrict("\x00\xD8" "a\0", 4, STRING_ENCODING_UTF16_LE)), nullptr);
  EXPECT_EQ(Owned(Unicode_AllocStrict("abc", 3, STRING_ENCODING_UTF16_LE)), nullptr);

  // Embedded zero bytes are kept when a length is given.
  Owned withNul(Unicode_AllocWithLength("a\0b", 3, STRING_ENCODING_ISO_8859_1));
  ASSERT_NE(withNul, nullptr);
  EXPECT_EQ(memcmp(withNul.get(), "a\0b", 4), 0);
  EXPECT_EQ(Unicode_AllocWithLength(nullptr, 3, STRING_ENCODING_UTF8), nullptr);
}

TEST(UnicodeConvert, FromUtf8IntoEncodings) {
  size_t len = 0;
  Owned latin1(Unicode_GetAllocBytes("caf\xC3\xA9", 5, STRING_ENCODING_ISO_8859_1, &len));
  ASSERT_NE(latin1, nullptr);
  EXPECT_EQ(std::string(latin1.get(), len), "caf\xE9");
  EXPECT_EQ(Owned(Unicode_GetAllocBytes("\xE2\x82\xAC", 3, STRING_ENCODING_ISO_8859_1, &len)),
            nullptr);
  EXPECT_EQ(Owned(Unicode_GetAllocBytes("a\xFF", 2, STRING_ENCODING_UTF8, &len)), nullptr);
  Owned utf16(Unicode_GetAllocBytes("hi", 2, STRING_ENCODING_UTF16_LE, &len));
  ASSERT_NE(utf16, nullptr);
  EXPECT_EQ(len, 4u);
  EXPECT_EQ(memcmp(utf16.get(), "h\0i\0\0\0", 6), 0);  // zero-terminated
  Owned cp1252(Unicode_GetAllocBytes("\xE2\x82\xAC", 3, STRING_ENCODING_WINDOWS_1252, &len));
  ASSERT_NE(cp1252, nullptr);
  EXPECT_EQ(std::string(cp1252.get(), len), "\x80");
  EXPECT_EQ(Unicode_GetAllocBytes("x", 1, STRING_ENCODING_UNKNOWN, &len), nullptr);
}

}  // namespace
