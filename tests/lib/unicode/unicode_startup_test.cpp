// Start-up: the argument and environment vectors become UTF-8 copies in
// the process's encoding, and an unsupported encoding stops the program.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "lib/misc/codeset.h"
#include "lib/unicode/unicode.h"

namespace {

void StartWithKoi8() {
  setenv("G_FILENAME_ENCODING", "KOI8-R,UTF-8", 1);
  char arg0[] = "prog";
  char *args[] = {arg0, nullptr};
  char **argv = args;
  Unicode_Startup(1, &argv, nullptr);
}

TEST(UnicodeStartupDeath, UnsupportedLocalEncodingStops) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process decides afresh
  EXPECT_DEATH(StartWithKoi8(), "Unsupported local character encoding \"KOI8-R\"");
}

TEST(UnicodeStartup, ConvertsArgumentsAndEnvironment) {
  setenv("G_FILENAME_ENCODING", "ISO-8859-1,UTF-8", 1);
  char arg0[] = "prog";
  char arg1[] = "caf\xE9";
  char env0[] = "NAME=\xC5ngstr\xF6m";
  char *args[] = {arg0, arg1, nullptr};
  char *envs[] = {env0, nullptr};
  char **argv = args;
  char **envp = envs;
  Unicode_Startup(2, &argv, &envp);
  ASSERT_NE(argv, args);
  EXPECT_STREQ(argv[0], "prog");
  EXPECT_STREQ(argv[1], "caf\xC3\xA9");
  EXPECT_EQ(argv[2], nullptr);
  EXPECT_STREQ(envp[0], "NAME=\xC3\x85ngstr\xC3\xB6m");
  EXPECT_EQ(envp[1], nullptr);
  EXPECT_EQ(Unicode_GetCurrentEncoding(), STRING_ENCODING_ISO_8859_1);
  EXPECT_STREQ(Unicode_EncodingEnumToName(STRING_ENCODING_DEFAULT), "ISO-8859-1");

  // A second start-up does nothing.
  char **again = argv;
  Unicode_Startup(2, &again, nullptr);
  EXPECT_EQ(again, argv);

  errno = 1234;
  Unicode_Shutdown(2, argv, envp);
  EXPECT_EQ(errno, 1234);

  // After the release a new start-up copies again; the encoding decided
  // first stays, whatever the environment says now.
  setenv("G_FILENAME_ENCODING", "UTF-8", 1);
  argv = args;
  Unicode_Startup(-1, &argv, nullptr);
  ASSERT_NE(argv, args);
  EXPECT_STREQ(argv[1], "caf\xC3\xA9");
  EXPECT_EQ(argv[2], nullptr);
  EXPECT_STREQ(CodeSet_GetCurrentCodeSet(), "ISO-8859-1");
  Unicode_Shutdown(-1, argv, nullptr);
}

}  // namespace
