// The layered preference store, built below a scratch folder.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "../dict/dict_test_util.h"
#include "lib/config/config.h"
#include "lib/config/preference.h"
#include "lib/config/preference_internal.h"

namespace {

class PrefTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char *home = getenv("HOME");
    savedHome_ = home != nullptr ? home : "";
    hadHome_ = home != nullptr;
    setenv("HOME", (dir_.path() + "/home").c_str(), 1);
    setup_.hostDir = hostDir_.c_str();
    setup_.defaultLibDir = libDir_.c_str();
    Msg_Reset(false);
  }
  void TearDown() override {
    Preference_Exit();
    if (hadHome_) {
      setenv("HOME", savedHome_.c_str(), 1);
    } else {
      unsetenv("HOME");
    }
    Msg_Reset(false);
  }

  void Host(const std::string &text) { dir_.Write("etc/config", text); }
  void Settings(const std::string &text) { dir_.Write("lib/settings", text); }
  void Site(const std::string &text) { dir_.Write("lib/config", text); }
  void UserDefaults(const std::string &text) { dir_.Write("home/.velmora/config", text); }
  void UserPrefs(const std::string &text) { dir_.Write("home/.velmora/preferences", text); }
  std::string Get(const char *key) {
    char *v = Config_GetString(nullptr, "%s", key);
    std::string out = v != nullptr ? v : "<none>";
    free(v);
    return out;
  }

  ScratchDir dir_;
  std::string hostDir_ = dir_.path() + "/etc";
  std::string libDir_ = dir_.path() + "/lib";
  PreferenceSetup setup_;
  std::string savedHome_;
  bool hadHome_ = false;
};

TEST_F(PrefTest, LookupsBeforeTheStoreExistGiveTheDefault) {
  LogCapture log;
  EXPECT_EQ(Config_GetLong(42, "sound.bufferTime"), 42);
  EXPECT_TRUE(Config_GetBool(true, "coreDumpOnPanic"));
  char *s = Config_GetString("libpipewire-0.3.so", "sightwell.libPipewire");
  EXPECT_STREQ(s, "libpipewire-0.3.so");
  free(s);
  EXPECT_EQ(Config_GetString(nullptr, "tmpDirectory"), nullptr);
  EXPECT_TRUE(Config_NotSet("anything"));
  EXPECT_TRUE(log.Contains("PREF early PreferenceGet(sound.bufferTime), using default\n"));
  Preference_SetNonPersistent("a=b", true);  // no store: ignored, no crash
}

TEST_F(PrefTest, LayerPrecedence) {
  Host("k1 = host\nk2 = host\nk3 = host\nk4 = host\nk5 = host\n");
  Site("k1 = site\nk2 = site\nk3 = site\nk4 = site\nk5 = site\nk6 = site\n");
  UserDefaults("k1 = udef\nk2 = udef\nk3 = udef\nk4 = udef\n");
  UserPrefs("k1 = upref\nk2 = upref\nk3 = upref\n");
  Settings("k1 = global\n");
  ASSERT_TRUE(PreferenceInitWith(setup_));
  Preference_SetNonPersistent("k2=nonpersistent", true);
  EXPECT_EQ(Get("k1"), "global");
  EXPECT_EQ(Get("k2"), "nonpersistent");
  EXPECT_EQ(Get("K3"), "upref");
  EXPECT_EQ(Get("k4"), "udef");
  EXPECT_EQ(Get("k5"), "host");
  EXPECT_EQ(Get("k6"), "site");
  EXPECT_EQ(Get("k7"), "<none>");
  EXPECT_FALSE(Config_NotSet("k6"));
  EXPECT_TRUE(Config_NotSet("k7"));
}

TEST_F(PrefTest, LibdirFromHostDefaultsMovesTheLibraryFiles) {
  std::string other = dir_.path() + "/other";
  Host("libdir = \"" + other + "\"\n");
  dir_.Write("other/settings", "where = other\n");
  Settings("where = default\n");
  ASSERT_TRUE(PreferenceInitWith(setup_));
  EXPECT_EQ(Get("where"), "other");
}

TEST_F(PrefTest, DisableUserPreferences) {
  LogCapture log;
  Host("disableUserPreferences = \"TRUE\"\nk = host\n");
  UserDefaults("k = user\n");
  UserPrefs("k = user\n");
  ASSERT_TRUE(PreferenceInitWith(setup_));
  EXPECT_EQ(Get("k"), "host");
  EXPECT_TRUE(
      log.Contains("PREF Disabling user preferences because disableUserPreferences is set.\n"));
}

TEST_F(PrefTest, SetuidAndNoUserIgnoreUserFiles) {
  Host("k = host\n");
  UserPrefs("k = user\n");
  {
    LogCapture log;
    setup_.overrideIds = true;
    setup_.realUid = 1000;
    setup_.effectiveUid = 0;
    ASSERT_TRUE(PreferenceInitWith(setup_));
    EXPECT_EQ(Get("k"), "host");
    EXPECT_TRUE(log.Contains("setuid: ignoring user's config and preferences\n"));
    Preference_Exit();
  }
  setup_.overrideIds = false;
  setup_.userFiles = false;
  ASSERT_TRUE(PreferenceInitWith(setup_));
  EXPECT_EQ(Get("k"), "host");
  Preference_Exit();
  setup_.userFiles = true;
  ASSERT_TRUE(PreferenceInitWith(setup_));
  EXPECT_EQ(Get("k"), "user");
}

TEST_F(PrefTest, RootReadsOnlyUserFilesNobodyElseCanWrite) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give files away";
  Host("k = host\n");
  const std::string folder = dir_.path() + "/home/.velmora";
  const std::string prefs = folder + "/preferences";
  const std::string elsewhere = dir_.Write("elsewhere", "k = linked\n");
  struct Case {
    const char *what;
    uid_t effective;  // the real uid is the same
    uid_t fileOwner;
    mode_t fileMode;
    mode_t folderMode;
    bool link;
    const char *expect;
    const char *reason;  // of the refusal log line
  };
  const Case cases[] = {
      {"root's own", 0, 0, 0644, 0755, false, "user", nullptr},
      {"owned by a user", 0, 54321, 0644, 0755, false, "host", "it is owned by uid 54321 with mode 644"},
      {"group-writable", 0, 0, 0664, 0755, false, "host", "it is owned by uid 0 with mode 664"},
      {"world-writable folder", 0, 0, 0644, 0777, false, "host",
       "its folder is owned by uid 0 with mode 777"},
      {"a link to root's file", 0, 0, 0644, 0755, true, "host", "it is a symbolic link"},
      // Not running as root: the user's own files are the user's business.
      {"a user's own, unprivileged", 54321, 54321, 0666, 0755, false, "user", nullptr},
  };
  for (const Case &c : cases) {
    LogCapture log;
    unlink(prefs.c_str());
    if (c.link) {
      mkdir(folder.c_str(), 0755);
      ASSERT_EQ(symlink(elsewhere.c_str(), prefs.c_str()), 0);
    } else {
      UserPrefs("k = user\n");
      ASSERT_EQ(chown(prefs.c_str(), c.fileOwner, c.fileOwner), 0);
      ASSERT_EQ(chmod(prefs.c_str(), c.fileMode), 0);
    }
    ASSERT_EQ(chmod(folder.c_str(), c.folderMode), 0);
    setup_.overrideIds = true;
    setup_.realUid = setup_.effectiveUid = c.effective;
    ASSERT_TRUE(PreferenceInitWith(setup_));
    EXPECT_EQ(Get("k"), c.expect) << c.what;
    if (c.reason != nullptr) {
      EXPECT_TRUE(log.Contains("PREF Ignoring per-user preferences file " + prefs + ": " + c.reason +
                               ".\n"))
          << c.what;
    }
    Preference_Exit();
  }
}

TEST_F(PrefTest, RecordedDefaultsAnswerLaterLookups) {
  ASSERT_TRUE(PreferenceInitWith(setup_));
  EXPECT_EQ(Config_GetLong(100, "sound.bufferTime"), 100);
  EXPECT_EQ(Config_GetLong(200, "sound.bufferTime"), 100);
  EXPECT_TRUE(Config_NotSet("sound.bufferTime"));
  EXPECT_EQ(Config_GetInt64(5, "i64"), 5);
  EXPECT_EQ(Config_GetInt64(6, "i64"), 5);
  EXPECT_EQ(Config_GetDouble(1.5, "dbl"), 1.5);
  EXPECT_EQ(Config_GetDouble(2.5, "dbl"), 1.5);
  EXPECT_EQ(Config_GetTriState(1, "tri"), 1);
  EXPECT_EQ(Config_GetTriState(0, "tri"), 1);
  // Zero defaults are not recorded.
  EXPECT_EQ(Config_GetLong(0, "zero"), 0);
  EXPECT_EQ(Config_GetLong(9, "zero"), 9);
  EXPECT_FALSE(Config_GetBool(false, "flag"));
  EXPECT_TRUE(Config_GetBool(true, "flag"));
  // Recorded defaults are not dumped.
  LogCapture log;
  Preference_Log();
  for (const std::string &line : LogCapture::Lines()) {
    EXPECT_EQ(line.find("bufferTime"), std::string::npos) << line;
  }
}

TEST_F(PrefTest, ValuesConvertByTheFileRules) {
  Host("empty = \"\"\nnum = 0x10\nbad = 12z\npath = \"~/x/$NO_SUCH_VAR_SW\"\n");
  ASSERT_TRUE(PreferenceInitWith(setup_));
  EXPECT_TRUE(Config_GetBool(false, "empty"));
  EXPECT_EQ(Config_GetLong(0, "num"), 16);
  EXPECT_EQ(Config_GetLong(3, "bad"), 3);
  EXPECT_EQ(TakeThreadMessageIds(), std::vector<std::string>{"msg.dictionary.notInteger"});
  char *p = Config_GetPathName(nullptr, "path");
  EXPECT_EQ(std::string(p != nullptr ? p : ""), dir_.path() + "/home/x/");
  free(p);
  EXPECT_EQ(Config_GetPathName(nullptr, "absent"), nullptr);
}

TEST_F(PrefTest, SetNonPersistent) {
  ASSERT_TRUE(PreferenceInitWith(setup_));
  Preference_SetNonPersistent("a=1", false);
  Preference_SetNonPersistent("a=2", false);
  EXPECT_EQ(TakeThreadMessageIds(),
            std::vector<std::string>{"msg.dictionary.alreadyDefined.string"});
  EXPECT_EQ(Config_GetLong(0, "a"), 1);
  Preference_SetNonPersistent("a=3", true);
  EXPECT_EQ(Config_GetLong(0, "a"), 3);
  Preference_SetNonPersistent("novalue", true);
  EXPECT_EQ(Get("novalue"), "");
}

TEST_F(PrefTest, BrokenAndMissingFilesAreLoggedAndPartlyKept) {
  LogCapture log;
  Site("good = 1\nthis is wrong\nlater = 2\n");
  ASSERT_TRUE(PreferenceInitWith(setup_));
  EXPECT_EQ(Get("good"), "1");
  EXPECT_EQ(Get("later"), "<none>");
  std::string site = libDir_ + "/config";
  EXPECT_TRUE(log.Contains("[msg.dictionary.read.syntaxError] File \"" + site +
                           "\" line 2: Syntax error.\n"));
  EXPECT_TRUE(log.Contains("PREF Optional preferences file not found at " + site +
                           ". Using default values.\n"));
  EXPECT_TRUE(log.Contains("PREF Optional preferences file not found at " + hostDir_ +
                           "/config. Using default values.\n"));
}

TEST_F(PrefTest, LogShowsEveryLayer) {
  Host("h = 1\n");
  Settings("g = \"x y\"\n");
  setup_.userFiles = false;
  ASSERT_TRUE(PreferenceInitWith(setup_));
  Preference_SetNonPersistent("n=v", true);
  EXPECT_EQ(Config_GetLong(0, "h"), 1);
  LogCapture log;
  Preference_Log();
  auto dict = [](std::string name, std::string value) {
    return "DICT " + std::string(25 - name.size(), ' ') + name + " = \"" + value + "\"\n";
  };
  std::vector<std::string> expect = {
      "DICT --- GLOBAL SETTINGS " + libDir_ + "/settings\n",
      dict("g", "x y"),
      "DICT --- NON PERSISTENT (null)\n",
      dict("n", "v"),
      "DICT --- HOST DEFAULTS " + hostDir_ + "/config\n",
      dict("h", "1"),
      "DICT --- SITE DEFAULTS " + libDir_ + "/config\n",
  };
  EXPECT_EQ(LogCapture::Lines(), expect);
}

TEST_F(PrefTest, TheFirstInstalledStoreStays) {
  Host("k = first\n");
  ASSERT_TRUE(PreferenceInitWith(setup_));
  Host("k = second\n");
  ASSERT_TRUE(PreferenceInitWith(setup_));
  EXPECT_EQ(Get("k"), "first");
  Preference_Exit();
  EXPECT_EQ(Config_GetLong(7, "k"), 7);
}

TEST_F(PrefTest, ConcurrentLookupsAndSettings) {
  Host("n = 5\n");
  ASSERT_TRUE(PreferenceInitWith(setup_));
  std::atomic<bool> wrong{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 500; i++) {
        if (Config_GetLong(1, "n") != 5) wrong = true;
        char text[64];
        snprintf(text, sizeof text, "t%d.k%d=%d", t, i % 10, i);
        Preference_SetNonPersistent(text, true);
        Config_GetLong(100, "recorded.%d", i % 7);
        Config_NotSet("t%d.k%d", t, i % 10);
        free(Config_GetString(nullptr, "t%d.k%d", t, i % 10));
      }
      Msg_Reset(false);
    });
  }
  for (auto &th : threads) th.join();
  EXPECT_FALSE(wrong.load());
}

}  // namespace
