// SigGetCoreFileName against kernel settings supplied under a private root.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>

#include "lib/sig/panic.h"
#include "tests/lib/sig/capture_log.h"

using swtest::CaptureLog;
using swtest::TempDir;
using ::testing::HasSubstr;

namespace {

class CoreFileName : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string kernel = root_.path() + "/proc/sys/kernel";
    ASSERT_EQ(system(("mkdir -p '" + kernel + "'").c_str()), 0);
    kernel_ = kernel;
    Sig_SetSystemRoot(root_.path().c_str());
    char buf[4096];
    ASSERT_NE(getcwd(buf, sizeof buf), nullptr);
    cwd_ = buf;
  }
  void TearDown() override { Sig_SetSystemRoot(nullptr); }

  void Settings(const char *pattern, const char *usesPid) {
    if (pattern != nullptr) {
      std::ofstream(kernel_ + "/core_pattern") << pattern;
    } else {
      unlink((kernel_ + "/core_pattern").c_str());
    }
    if (usesPid != nullptr) {
      std::ofstream(kernel_ + "/core_uses_pid") << usesPid;
    } else {
      unlink((kernel_ + "/core_uses_pid").c_str());
    }
  }
  std::string Name(pid_t pid) {
    std::unique_ptr<char, decltype(&free)> name(SigGetCoreFileName(pid), free);
    return name ? std::string(name.get()) : std::string("<none>");
  }

  TempDir root_;
  std::string kernel_;
  std::string cwd_;
};

TEST_F(CoreFileName, PlainCoreWithUsesPidIsInCurrentDirectory) {
  Settings("core\n", "1\n");
  EXPECT_EQ(Name(4242), cwd_ + "/core.4242");
  Settings("core\n", "0\n");
  EXPECT_EQ(Name(4242), cwd_ + "/core");
  Settings("core", "junk");  // not a whole number: not set
  EXPECT_EQ(Name(4242), cwd_ + "/core");
  Settings(nullptr, nullptr);  // unreadable settings
  EXPECT_EQ(Name(4242), cwd_ + "/core");
}

TEST_F(CoreFileName, SpecifiersExpand) {
  Settings("/cores/%%-%p-%u-%g-%s-%q.core\n", "1\n");
  std::string expected = "/cores/%-77-" + std::to_string(getuid()) + "-" +
                         std::to_string(getgid()) + "-6-.core";
  EXPECT_EQ(Name(77), expected);  // %p present: no ".pid" appended
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  Settings("/cores/core-%h%", "0");
  EXPECT_EQ(Name(77), std::string("/cores/core-") + host);
}

TEST_F(CoreFileName, ExecutableAndTimeResolveByGlobbing) {
  std::string cores = root_.path() + "/cores";
  ASSERT_EQ(mkdir(cores.c_str(), 0700), 0);
  std::string pattern = cores + "/core.%e.%p.%t";
  Settings(pattern.c_str(), "0");
  // No match: the wildcard name stays as it is.
  EXPECT_EQ(Name(99), cores + "/core.*.99.*");
  std::ofstream(cores + "/core.sightwell.99.1700000000") << "x";
  std::ofstream(cores + "/core.other.98.1700000000") << "x";
  EXPECT_EQ(Name(99), cores + "/core.sightwell.99.1700000000");
  // Two candidates: none of them can be named for sure.
  std::ofstream(cores + "/core.sightwell.99.1700000001") << "x";
  EXPECT_EQ(Name(99), "<none>");
}

TEST_F(CoreFileName, PipedCoresFallBackToCoreAndSayWhy) {
  CaptureLog::Get().Clear();
  Settings("|/usr/lib/collect %p %e\n", "1");
  EXPECT_EQ(Name(5), cwd_ + "/core.5");
  EXPECT_THAT(CaptureLog::Get().Text(),
              HasSubstr("Core dump pipes to process /usr/lib/collect %p %e, core file unreliable\n"));
}

TEST_F(CoreFileName, EmptyPatternNamesTheDirectory) {
  Settings("", "0");
  EXPECT_EQ(Name(5), cwd_);
  Settings("\n", "1");
  EXPECT_EQ(Name(5), cwd_ + ".5");
}

TEST_F(CoreFileName, LongPatternIsReadWhole) {
  // Longer than 66 bytes: a cut pattern would name a file that never exists.
  std::string dir = "/var/lib/crash/collected/by-service/for-the-session-agent/cores";
  Settings((dir + "/core-%p").c_str(), "0");
  EXPECT_EQ(Name(31), dir + "/core-31");
}

}  // namespace
