// Bounded copies and formats: results that fit, cuts that keep whole
// characters, and the panic when a result does not fit.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "lib/sig/panic.h"
#include "lib/string/str.h"
#include "tests/lib/sig/death_style.h"

using ::testing::ExitedWithCode;

namespace {

constexpr char kTooSmall[] = "^lib/string/str:[0-9]+ Buffer too small\n";

void NoCore() { Panic_SetCoreDumpOnPanic(false); }

TEST(Str, CopiesThatFit) {
  char buf[7];
  EXPECT_STREQ(Str_Strcpy(buf, "abcdef", sizeof buf), "abcdef");
  EXPECT_STREQ(Str_Strncpy(buf, sizeof buf, "xyz123456", 3), "xyz");
  EXPECT_STREQ(Str_Strcat(buf, "123", sizeof buf), "xyz123");
  EXPECT_EQ(Str_Sprintf(buf, sizeof buf, "%d-%s", 42, "ab"), 5);
  EXPECT_STREQ(buf, "42-ab");
}

TEST(Str, CardNameOfSevenCharactersPanics) {
  swtest::ThreadsafeDeathTests();
  // Six characters plus the terminator is the most a 7-byte field holds.
  EXPECT_EXIT({ NoCore(); char card[7]; Str_Strcpy(card, "abcdefg", sizeof card); },
              ExitedWithCode(255), kTooSmall);
  EXPECT_EXIT({ NoCore(); char b[4] = "ab"; Str_Strcat(b, "cd", sizeof b); },
              ExitedWithCode(255), kTooSmall);
  EXPECT_EXIT({ NoCore(); char b[4]; Str_Sprintf(b, sizeof b, "%d", 1234); },
              ExitedWithCode(255), kTooSmall);
  EXPECT_EXIT({ NoCore(); char b[4]; Str_Strncpy(b, sizeof b, "abcdef", 5); },
              ExitedWithCode(255), kTooSmall);
  EXPECT_EXIT(
      {
        NoCore();
        char b[4];
        memset(b, 'x', sizeof b);  // not terminated: nothing can be appended
        Str_Strcat(b, "", sizeof b);
      },
      ExitedWithCode(255), kTooSmall);
}

TEST(Str, SnprintfCutsOnWholeCharacters) {
  char buf[6];
  EXPECT_EQ(Str_Snprintf(buf, sizeof buf, "%s", "abc"), 3);
  // "ab€" is 5 bytes; with room for 5 only "ab" survives, never a partial €.
  EXPECT_EQ(Str_Snprintf(buf, sizeof buf, "%s", "ab\xE2\x82\xAC!"), -1);
  EXPECT_STREQ(buf, "ab\xE2\x82\xAC");
  EXPECT_EQ(Str_Snprintf(buf, 5, "%s", "ab\xE2\x82\xAC"), -1);
  EXPECT_STREQ(buf, "ab");
  EXPECT_EQ(Str_Snprintf(buf, 0, "%s", "x"), -1);
}

TEST(Str, AsprintfReportsLength) {
  size_t len = 0;
  char *s = Str_Asprintf(&len, "%s=%05d", "key", 42);
  EXPECT_STREQ(s, "key=00042");
  EXPECT_EQ(len, 9u);
  free(s);
}

}  // namespace
