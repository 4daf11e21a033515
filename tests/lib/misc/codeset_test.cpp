// The generic conversion with both engines: iconv, and ICU once its data
// file is found in the configured directory.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "lib/misc/codeset.h"

namespace {

enum class Engine { kIconv, kIcu };

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/codeset_test.XXXXXX";
    path_ = mkdtemp(tmpl);
  }
  ~TempDir() {
    std::string cmd = "rm -rf '" + path_ + "'";
    EXPECT_EQ(system(cmd.c_str()), 0);
  }
  const std::string &Path() const { return path_; }

 private:
  std::string path_;
};

// Converts and returns the output, or "<fail>".
std::string Convert(const char *from, const std::string &in, const char *to, unsigned mode) {
  char *out = nullptr;
  size_t size = 0;
  if (!CodeSet_GenericToGeneric(from, in.data(), in.size(), to, mode, &out, &size)) {
    return "<fail>";
  }
  std::string result(out, size);
  EXPECT_EQ(memcmp(out + size, "\0\0\0\0", 4), 0);  // four terminating zeros
  free(out);
  return result;
}

class CodeSetEngine : public ::testing::TestWithParam<Engine> {
 protected:
  void SetUp() override {
    if (GetParam() == Engine::kIcu) {
      // An empty data file is enough to select ICU; the converters' data
      // comes with the system's ICU library.
      std::string file = dir_.Path() + "/icudt44l.dat";
      FILE *f = fopen(file.c_str(), "w");
      ASSERT_NE(f, nullptr);
      fclose(f);
    }
    ASSERT_TRUE(CodeSet_Init(dir_.Path().c_str()));
    ASSERT_EQ(CodeSet_UsesIconv(), GetParam() == Engine::kIconv);
  }
  void TearDown() override { CodeSet_Init("/nonexistent/codeset"); }

  TempDir dir_;
};

TEST_P(CodeSetEngine, ConvertsBothWays) {
  EXPECT_EQ(Convert("Shift_JIS", "\x82\xA0x", "UTF-8", CSGTG_NORMAL), "\xE3\x81\x82x");
  EXPECT_EQ(Convert("UTF-8", "\xE3\x81\x82x", "Shift_JIS", CSGTG_NORMAL), "\x82\xA0x");
  EXPECT_EQ(Convert("UTF-8", "h\xC3\xA9", "UTF-16LE", CSGTG_NORMAL), std::string("h\0\xE9\0", 4));
  EXPECT_EQ(Convert("ISO-8859-15", "\xA4", "UTF-8", CSGTG_NORMAL), "\xE2\x82\xAC");
  EXPECT_EQ(Convert("UTF-8", "", "ISO-8859-1", CSGTG_NORMAL), "");

  // A stateful encoding: the closing shift back to ASCII must be written.
  std::string jis = Convert("UTF-8", "\xE3\x81\x82", "ISO-2022-JP", CSGTG_NORMAL);
  ASSERT_NE(jis, "<fail>");
  EXPECT_EQ(jis.substr(jis.size() - 3), "\x1B(B");
  EXPECT_EQ(Convert("ISO-2022-JP", jis, "UTF-8", CSGTG_NORMAL), "\xE3\x81\x82");

  // Output much larger than the input: the buffer grows.
  std::string big(100000, '\xE9');
  std::string utf8 = Convert("ISO-8859-1", big, "UTF-8", CSGTG_NORMAL);
  ASSERT_EQ(utf8.size(), 200000u);
  EXPECT_EQ(utf8.substr(199998), "\xC3\xA9");

  EXPECT_EQ(Convert("no-such-charset", "x", "UTF-8", CSGTG_NORMAL), "<fail>");
  EXPECT_EQ(Convert("UTF-8", "x", "no-such-charset", CSGTG_TRANSLIT), "<fail>");
}

TEST_P(CodeSetEngine, StrictFailsWhereReplacingModesGoOn) {
  const std::string badUtf8 = "ab\xFF" "cd";
  const std::string badSjis = "x\x81\x20y";
  const std::string unmappable = "a\xE2\x82\xAC" "b";  // euro sign into Latin-1
  EXPECT_EQ(Convert("UTF-8", badUtf8, "UTF-16LE", CSGTG_NORMAL), "<fail>");
  EXPECT_EQ(Convert("Shift_JIS", badSjis, "UTF-8", CSGTG_NORMAL), "<fail>");
  EXPECT_EQ(Convert("UTF-8", unmappable, "ISO-8859-1", CSGTG_NORMAL), "<fail>");
  EXPECT_EQ(Convert("UTF-8", "ab\xC3", "ISO-8859-1", CSGTG_NORMAL), "<fail>");
  EXPECT_FALSE(CodeSet_Validate(badSjis.data(), badSjis.size(), "Shift_JIS"));
  EXPECT_TRUE(CodeSet_Validate("\x82\xA0", 2, "Shift_JIS"));

  for (unsigned mode : {CSGTG_TRANSLIT, CSGTG_ESCAPE}) {
    SCOPED_TRACE(mode);
    std::string out = Convert("UTF-8", badUtf8, "UTF-8", mode);
    ASSERT_NE(out, "<fail>");
    EXPECT_EQ(out.substr(0, 2), "ab");
    EXPECT_EQ(out.substr(out.size() - 2), "cd");  // nothing after the bad byte is lost
    out = Convert("Shift_JIS", badSjis, "UTF-8", mode);
    ASSERT_NE(out, "<fail>");
    EXPECT_EQ(out.front(), 'x');
    EXPECT_EQ(out.back(), 'y');
    out = Convert("UTF-8", unmappable, "ISO-8859-1", mode);
    ASSERT_NE(out, "<fail>");
    EXPECT_EQ(out.front(), 'a');
    EXPECT_EQ(out.back(), 'b');
    out = Convert("UTF-8", "ab\xC3", "ISO-8859-1", mode);
    ASSERT_NE(out, "<fail>");
    EXPECT_EQ(out.substr(0, 2), "ab");
  }
}

INSTANTIATE_TEST_SUITE_P(Engines, CodeSetEngine, ::testing::Values(Engine::kIconv, Engine::kIcu),
                         [](const auto &info) {
                           return info.param == Engine::kIconv ? "Iconv" : "Icu";
                         });

TEST(CodeSetIcu, EngineSelectionAndUnknownModes) {
  TempDir dir;
  // A directory of that name is no data file.
  ASSERT_EQ(mkdir((dir.Path() + "/icudt44l.dat").c_str(), 0755), 0);
  CodeSet_Init(dir.Path().c_str());
  EXPECT_TRUE(CodeSet_UsesIconv());
  CodeSet_Init(nullptr);  // the product's directory does not exist here
  EXPECT_TRUE(CodeSet_UsesIconv());
}

void ConvertInMode7() {
  char *out = nullptr;
  size_t size = 0;
  CodeSet_GenericToGeneric("UTF-8", "x", 1, "UTF-16LE", 7, &out, &size);
}

TEST(CodeSetIcuDeath, UnknownModeStops) {
  TempDir dir;
  FILE *f = fopen((dir.Path() + "/icudt44l.dat").c_str(), "w");
  ASSERT_NE(f, nullptr);
  fclose(f);
  CodeSet_Init(dir.Path().c_str());
  ASSERT_FALSE(CodeSet_UsesIconv());
  EXPECT_DEATH(ConvertInMode7(), "NOT_IMPLEMENTED lib/misc/codeset");
  CodeSet_Init("/nonexistent/codeset");
}

TEST(CodeSetUtf8, ValidationAndCutPoints) {
  EXPECT_TRUE(CodeSet_IsValidUTF8("a\xC3\xA9\xF0\x9F\x98\x80", 7));
  EXPECT_FALSE(CodeSet_IsValidUTF8("\xC0\xAF", 2));           // overlong
  EXPECT_FALSE(CodeSet_IsValidUTF8("\xED\xA0\x80", 3));       // surrogate
  EXPECT_FALSE(CodeSet_IsValidUTF8("\xF4\x90\x80\x80", 4));   // above U+10FFFF
  EXPECT_FALSE(CodeSet_IsValidUTF8("\xE3\x81", 2));           // truncated
  EXPECT_EQ(CodeSet_Utf8CutPoint("a\xE3\x81\x82", 3), 1u);
  EXPECT_EQ(CodeSet_Utf8CutPoint("a\xE3\x81\x82", 4), 4u);
  EXPECT_EQ(CodeSet_Utf8CutPoint("ab", 1), 1u);
}

}  // namespace
