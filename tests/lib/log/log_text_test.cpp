// Whole-character cuts, masking and time stamps.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "lib/log/log_output.h"
#include "lib/thread/vthread.h"

namespace {

std::string Cut(const std::string &text, size_t n) {
  std::string buf = text;
  buf.resize(std::max(n, text.size() + 1));
  size_t len = LogCutUtf8(buf.data(), n, text.size());
  EXPECT_EQ(buf[len - 1], '\n');
  if (n >= 2) {
    EXPECT_EQ(buf[len], '\0');
  }
  return buf.substr(0, len);
}

TEST(LogText, CutKeepsWholeCharacters) {
  EXPECT_EQ(Cut("abcdef", 5), "abc\n");
  EXPECT_EQ(Cut("ab", 10), "ab\n");
  EXPECT_EQ(Cut("abc", 1), "\n");
  EXPECT_EQ(Cut("abc", 2), "\n");
  // "a" + e-acute (2 bytes): within 2 bytes only "a" is whole.
  EXPECT_EQ(Cut("a\xc3\xa9", 4), "a\n");
  EXPECT_EQ(Cut("a\xc3\xa9", 5), "a\xc3\xa9\n");
  // A four-byte character cut after any of its bytes is dropped whole.
  const std::string emoji = "\xf0\x9f\x98\x80";
  for (size_t keep = 1; keep < 4; keep++) {
    EXPECT_EQ(Cut("xy" + emoji, 2 + keep + 2), "xy\n") << keep;
  }
  EXPECT_EQ(Cut("xy" + emoji, 8), "xy" + emoji + "\n");
  // Stray continuation bytes are not a character to complete.
  EXPECT_EQ(Cut("a\x80\x80\x80\x80z", 7), "a\x80\x80\x80\x80\n");
}

TEST(LogText, MaskingIgnoresCaseAndShortTexts) {
  char a[] = "zovZOVzOv zo zzov";
  LogMaskText(a, strlen(a));
  EXPECT_STREQ(a, "********* zo z***");
  char b[] = "zo";
  LogMaskText(b, strlen(b));
  EXPECT_STREQ(b, "zo");
}

TEST(LogText, LevelNames) {
  EXPECT_EQ(LogLevelByName("WARNING"), 3);
  EXPECT_EQ(LogLevelByName("debug15"), 23);
  EXPECT_EQ(LogLevelByName("none"), -1);
  EXPECT_EQ(LogLevelRow(30)->value, 5);
  EXPECT_STREQ(LogLevelRow(0)->designator, "No");
  EXPECT_STREQ(LogLevelRow(4)->designator, "No");
  EXPECT_STREQ(LogLevelRow(1)->designator, "Cr");
}

TEST(LogText, TimeStampsNormalAndInSignal) {
  LogTimeStamp ts;
  LogMakeTimeStamp(&ts);
  int y, mo, d, h, mi, s, ms;
  ASSERT_EQ(sscanf(ts.dateTime, "%4d-%2d-%2dT%2d:%2d:%2d", &y, &mo, &d, &h, &mi, &s), 6);
  EXPECT_EQ(strlen(ts.dateTime), 19u);
  ASSERT_EQ(sscanf(ts.milliSec, ".%3d", &ms), 1);
  EXPECT_EQ(strlen(ts.milliSec), 4u);
  EXPECT_STREQ(ts.suffix, "Z");

  usleep(30000);
  VThread_SetIsInSignal(true);
  LogTimeStamp sig;
  LogMakeTimeStamp(&sig);
  VThread_SetIsInSignal(false);
  // The cached stamp, "Z[+", whole seconds, then ".mmm" and "]".
  std::string prefix = std::string(ts.dateTime) + "Z[+";
  EXPECT_EQ(std::string(sig.dateTime).substr(0, prefix.size()), prefix);
  long secs = atol(sig.dateTime + prefix.size());
  long off = 0;
  ASSERT_EQ(sscanf(sig.milliSec, ".%3ld", &off), 1);
  EXPECT_EQ(strlen(sig.milliSec), 4u);
  long total = secs * 1000 + off;
  EXPECT_GE(total, 25);
  EXPECT_LT(total, 5000);
  EXPECT_STREQ(sig.suffix, "]");
}

}  // namespace
