// The private temporary directory and file-name expansion.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "lib/file/file.h"
#include "lib/misc/util.h"

namespace {

class Scratch {
 public:
  Scratch() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "swfile-XXXXXX").string();
    path_ = mkdtemp(tmpl.data()) != nullptr ? tmpl : "";
  }
  ~Scratch() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string &path() const { return path_; }

 private:
  std::string path_;
};

std::string Take(char *s) {
  std::string out = s != nullptr ? s : "<null>";
  free(s);
  return out;
}

std::string UserName() {
  struct passwd *pw = getpwuid(geteuid());
  return pw != nullptr ? pw->pw_name : "";
}

TEST(SafeTmpDir, CreatesAPrivateDirectoryAndReusesIt) {
  Scratch base;
  std::string expect = base.path() + "/velmora-" + UserName();
  EXPECT_EQ(Take(File_GetSafeTmpDirIn((base.path() + "///").c_str())), expect);
  struct stat st;
  ASSERT_EQ(lstat(expect.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(Take(File_GetSafeTmpDirIn(base.path().c_str())), expect);
}

TEST(SafeTmpDir, RefusesPlacesOthersControl) {
  Scratch base;
  std::string stem = base.path() + "/velmora-" + UserName();
  // A symbolic link, a file and a world-writable directory are all passed
  // over for the next numbered name.
  ASSERT_EQ(symlink("/tmp", stem.c_str()), 0);
  ASSERT_EQ(mkdir((stem + "-1").c_str(), 0777), 0);
  ASSERT_EQ(chmod((stem + "-1").c_str(), 0777), 0);
  FILE *f = fopen((stem + "-2").c_str(), "w");
  ASSERT_NE(f, nullptr);
  fclose(f);
  EXPECT_EQ(Take(File_GetSafeTmpDirIn(base.path().c_str())), stem + "-3");
  EXPECT_EQ(Take(File_GetSafeTmpDirIn("")), "<null>");
  EXPECT_EQ(Take(File_GetSafeTmpDirIn(nullptr)), "<null>");
}

TEST(SafeTmpDir, NamesTakenByOthersLeadToAnUnpredictableOne) {
  Scratch base;
  std::string stem = base.path() + "/velmora-" + UserName();
  for (int i = 0; i <= 16; i++) {
    std::string name = i == 0 ? stem : stem + "-" + std::to_string(i);
    FILE *f = fopen(name.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
  }
  std::string first = Take(File_GetSafeTmpDirIn(base.path().c_str()));
  std::string second = Take(File_GetSafeTmpDirIn(base.path().c_str()));
  for (const std::string &dir : {first, second}) {
    ASSERT_EQ(dir.size(), stem.size() + 7) << dir;
    EXPECT_EQ(dir.compare(0, stem.size() + 1, stem + "-"), 0) << dir;
    struct stat st;
    ASSERT_EQ(lstat(dir.c_str(), &st), 0) << dir;
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_uid, geteuid());
    EXPECT_EQ(st.st_mode & 07777, 0700u);
  }
  EXPECT_NE(first, second);
}

TEST(ExpandString, TildeAndVariables) {
  const char *home = getenv("HOME");
  std::string savedHome = home != nullptr ? home : "";
  setenv("HOME", "/home/tester", 1);
  setenv("SW_TEST_VAR", "value", 1);
  unsetenv("SW_TEST_UNSET");
  const char *user = getenv("USER");
  std::string savedUser = user != nullptr ? user : "";
  unsetenv("USER");
  unsetenv("PID");

  EXPECT_EQ(Take(Util_ExpandString("~")), "/home/tester");
  EXPECT_EQ(Take(Util_ExpandString("~/log/x.log")), "/home/tester/log/x.log");
  EXPECT_EQ(Take(Util_ExpandString("a~b")), "a~b");
  struct passwd *root = getpwuid(0);
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(Take(Util_ExpandString(("~" + std::string(root->pw_name) + "/f").c_str())),
            std::string(root->pw_dir) + "/f");
  EXPECT_EQ(Take(Util_ExpandString("~no_such_user_sw/f")), "~no_such_user_sw/f");
  EXPECT_EQ(Take(Util_ExpandString("$SW_TEST_VAR.$SW_TEST_VAR/x")), "value.value/x");
  EXPECT_EQ(Take(Util_ExpandString("a-$SW_TEST_UNSET-b")), "a--b");
  EXPECT_EQ(Take(Util_ExpandString("p-$PID.log")),
            "p-" + std::to_string(getpid()) + ".log");
  EXPECT_EQ(Take(Util_ExpandString("$USER")), UserName());
  EXPECT_EQ(Take(Util_ExpandString("cost $5 and $")), "cost $5 and $");
  EXPECT_EQ(Util_ExpandString(nullptr), nullptr);

  setenv("HOME", savedHome.c_str(), 1);
  if (!savedUser.empty()) setenv("USER", savedUser.c_str(), 1);
}

}  // namespace
