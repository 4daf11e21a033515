// Reading the per-session files and the user-id rules.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "agent/message_locale.h"
#include "agent/session_files.h"
#include "lib/user/msg.h"

namespace {

class SessionFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/swsessXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    unlink(Path().c_str());
    rmdir(dir_.c_str());
  }
  std::string Path() const { return dir_ + "/f"; }
  void Write(const std::string &contents) {
    FILE *f = fopen(Path().c_str(), "w");
    ASSERT_NE(f, nullptr);
    fwrite(contents.data(), 1, contents.size(), f);
    fclose(f);
  }
  std::string dir_;
};

TEST_F(SessionFileTest, FirstLineOnlyCutAtCrOrLfAnd255Bytes) {
  char line[kSessionLineSize];
  char reason[kSessionReasonSize];
  auto ReadSessionLine = [&](const char *path, char *out) {
    return ::ReadSessionLine(path, getuid(), out, reason);
  };
  EXPECT_EQ(ReadSessionLine(Path().c_str(), line), SessionLineResult::kOpenFailed);

  Write("");
  EXPECT_EQ(ReadSessionLine(Path().c_str(), line), SessionLineResult::kEmpty);

  Write("unix:path=/run/user/1000/bus\r\nsecond line\n");
  ASSERT_EQ(ReadSessionLine(Path().c_str(), line), SessionLineResult::kOk);
  EXPECT_STREQ(line, "unix:path=/run/user/1000/bus");

  Write("\nnext");
  ASSERT_EQ(ReadSessionLine(Path().c_str(), line), SessionLineResult::kOk);
  EXPECT_STREQ(line, "");

  Write(std::string(300, 'a') + "\n");
  ASSERT_EQ(ReadSessionLine(Path().c_str(), line), SessionLineResult::kOk);
  EXPECT_EQ(std::string(line), std::string(255, 'a'));

  Write("no newline at all");
  ASSERT_EQ(ReadSessionLine(Path().c_str(), line), SessionLineResult::kOk);
  EXPECT_STREQ(line, "no newline at all");
}

TEST(SessionUid, AcceptsWhatStrtoulAcceptsAndNothingAfterTheNumber) {
  struct Case {
    const char *text;
    UidParseResult result;
    uid_t uid;
  };
  const Case cases[] = {
      {"1000", UidParseResult::kOk, 1000},
      {"0", UidParseResult::kOk, 0},
      {"  42", UidParseResult::kOk, 42},
      {"+7", UidParseResult::kOk, 7},
      {"4294967294", UidParseResult::kOk, 4294967294u},
      {"12x", UidParseResult::kInvalid, 0},
      {"12 ", UidParseResult::kInvalid, 0},
      {"", UidParseResult::kInvalid, 0},
      {"abc", UidParseResult::kInvalid, 0},
      {"+", UidParseResult::kInvalid, 0},
      {"99999999999999999999999", UidParseResult::kInvalid, 0},  // conversion error
      {"-1", UidParseResult::kOutOfRange, 0},
      {"4294967296", UidParseResult::kOutOfRange, 0},
      // (uid_t)-1 means "no change" to setresuid: never a session user.
      {"4294967295", UidParseResult::kOutOfRange, 0},
  };
  for (const Case &c : cases) {
    uid_t uid = 12345;
    EXPECT_EQ(ParseSessionUid(c.text, &uid), c.result) << "\"" << c.text << "\"";
    if (c.result == UidParseResult::kOk) {
      EXPECT_EQ(uid, c.uid) << c.text;
    }
  }
}

TEST(MessageLocale, LanguageFromLocaleName) {
  struct Case {
    const char *locale;
    const char *language;
  };
  const Case cases[] = {
      {"C", "en"},          {"POSIX", "en"},    {"", "en"},      {nullptr, "en"},
      {"C.UTF-8", "en"},    {"de_DE.UTF-8", "de"}, {"FR_fr", "fr"}, {"ja_JP.eucJP", "ja"},
      {"zh_TW.UTF-8", "zh_TW"}, {"zh_CN", "zh_CN"}, {"pt", "pt"}, {"_x", "en"},
  };
  for (const Case &c : cases) {
    char language[16];
    MessageLanguageForLocale(c.locale, language, sizeof language);
    EXPECT_STREQ(language, c.language) << (c.locale ? c.locale : "(null)");
  }
  char tiny[2];
  MessageLanguageForLocale("de_DE", tiny, sizeof tiny);
  EXPECT_STREQ(tiny, "d");

  // The language chosen is the one the message service then uses.
  setenv("LC_ALL", "C", 1);
  COwner<char, free> chosen = SetMessageLocale("velmora-mks");
  COwner<char, free> inService(Msg_GetLocale());
  ASSERT_NE(inService, nullptr);
  EXPECT_STREQ(inService.get(), "en");
  ASSERT_NE(chosen, nullptr);
  EXPECT_STREQ(chosen.get(), inService.get());
}

}  // namespace
