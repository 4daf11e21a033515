// Sig_CoreDump with a real forked copy, and Backtrace's output.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <string_view>

#include "lib/sig/panic.h"
#include "tests/lib/sig/capture_log.h"

using swtest::CaptureLog;
using swtest::ReadWholeFile;
using swtest::TempDir;
using ::testing::HasSubstr;

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

TEST(SigCoreDump, ChildDumpsCoreAndCallerGoesOn) {
  if (kSanitized) {
    GTEST_SKIP() << "sanitizer runtimes reserve terabytes of shadow memory; no real core";
  }
  TempDir dir;
  std::string logPath = dir.path() + "/log";
  std::string resultPath = dir.path() + "/result";
  // A forked child does the dump so that the limit and the working folder
  // of this test process stay untouched.
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    CaptureLog::Get().AlsoTo(logPath);
    if (chdir(dir.path().c_str()) != 0) {
      _exit(3);
    }
    struct rlimit limit {512UL * 1024 * 1024, 512UL * 1024 * 1024};
    setrlimit(RLIMIT_CORE, &limit);
    pid_t copy = Sig_CoreDump();
    char *name = copy > 0 ? SigGetCoreFileName(copy) : nullptr;
    std::ofstream(resultPath) << copy << "\n" << (name != nullptr ? name : "") << "\n";
    _exit(0);  // still alive after the dump
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);

  std::string log = ReadWholeFile(logPath);
  EXPECT_THAT(log, HasSubstr("\nAttempting a core dump using a 524288 KB size limit\n"));
  std::istringstream result(ReadWholeFile(resultPath));
  long copy = 0;
  std::string name;
  result >> copy >> name;
  std::string pattern = ReadWholeFile("/proc/sys/kernel/core_pattern");
  if (!pattern.empty() && pattern[0] == '|') {
    // Cores go to a collector program: whether it keeps one is its affair.
    return;
  }
  ASSERT_GT(copy, 0) << log;
  EXPECT_THAT(log, HasSubstr("Core dumped.\n"));
  ASSERT_FALSE(name.empty());
  struct stat st {};
  EXPECT_EQ(stat(name.c_str(), &st), 0) << "no core file at " << name;
  if (name.rfind(dir.path(), 0) != 0) {
    ADD_FAILURE() << "core outside the test folder is left alone: " << name;
  }
}

void UnlimitedCores() {
  struct rlimit limit {RLIM_INFINITY, RLIM_INFINITY};
  setrlimit(RLIMIT_CORE, &limit);
}

TEST(SigCoreDump, PanicNamesTheCoreFile) {
  std::string pattern = ReadWholeFile("/proc/sys/kernel/core_pattern");
  if (kSanitized || pattern.empty() || pattern[0] == '|' || pattern[0] == '/') {
    GTEST_SKIP() << "cores of this machine do not land in the working folder";
  }
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  swtest::SharedTestDir dir("SW_CORE_TEST_DIR");
  const std::string &folder = dir.path();
  std::string logPath = folder + "/log";
  EXPECT_EXIT(
      {
        CaptureLog::Get().AlsoTo(logPath);
        if (chdir(folder.c_str()) == 0) {
          UnlimitedCores();
          Panic("with core\n");
        }
      },
      ::testing::ExitedWithCode(255), "with core\n");
  std::string log = ReadWholeFile(logPath);
  EXPECT_THAT(log, HasSubstr("\nAttempting a core dump using an unlimited size limit\n"));
  EXPECT_THAT(log, HasSubstr("Core dumped.\n"));
  EXPECT_THAT(log, HasSubstr("A core file is available in \"" + folder + "/core"));
  EXPECT_THAT(log, HasSubstr("Exiting\n"));
}

TEST(SigCoreDump, ZeroLimitMakesNoChild) {
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    struct rlimit zero {0, 0};
    setrlimit(RLIMIT_CORE, &zero);
    _exit(Sig_CoreDump() == -1 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// Matches text against a line template: '#' is one or more decimal digits,
// '@' exactly 16 lower-case hex digits, '*' any run of bytes; every other
// character stands for itself.
bool MatchesLine(std::string_view text, std::string_view tmpl) {
  if (tmpl.empty()) {
    return text.empty();
  }
  switch (tmpl[0]) {
    case '#': {
      size_t n = 0;
      while (n < text.size() && isdigit(static_cast<unsigned char>(text[n]))) n++;
      return n > 0 && MatchesLine(text.substr(n), tmpl.substr(1));
    }
    case '@':
      if (text.size() < 16) {
        return false;
      }
      for (size_t i = 0; i < 16; i++) {
        char c = text[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
      }
      return MatchesLine(text.substr(16), tmpl.substr(1));
    case '*':
      for (size_t i = 0; i <= text.size(); i++) {
        if (MatchesLine(text.substr(i), tmpl.substr(1))) return true;
      }
      return false;
    default:
      return !text.empty() && text[0] == tmpl[0] && MatchesLine(text.substr(1), tmpl.substr(1));
  }
}

__attribute__((noinline)) void Recurse(int depth, int bugNr) {
  if (depth > 0) {
    Recurse(depth - 1, bugNr);
  } else {
    Backtrace(bugNr);
  }
  asm volatile("" ::: "memory");  // keeps the recursion from becoming a loop
}

TEST(BacktraceTest, WritesBothWalksWithFrameFormat) {
  CaptureLog::Get().Clear();
  Recurse(3, 0);
  auto lines = CaptureLog::Get().Lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0].text, "Backtrace:\n");
  constexpr std::string_view frame =
      "Backtrace[#] @ rip=@ rbx=@ rbp=@ r12=@ r13=@ r14=@ r15=@\n";
  constexpr std::string_view symFound =
      "SymBacktrace[#] @ rip=@ in function * in object * loaded at @\n";
  constexpr std::string_view symUnknown = "SymBacktrace[#] @ rip=@ \n";
  ASSERT_FALSE(MatchesLine("SymBacktrace[1] 00000000000000ab rip=00000000000000AB \n", symUnknown));
  size_t frames = 0;
  size_t syms = 0;
  bool sawLibc = false;
  for (const auto &l : lines) {
    if (l.text.rfind("Backtrace[", 0) == 0) {
      EXPECT_TRUE(MatchesLine(l.text, frame)) << l.text;
      frames++;
    } else if (l.text.rfind("SymBacktrace[", 0) == 0) {
      EXPECT_TRUE(MatchesLine(l.text, symFound) || MatchesLine(l.text, symUnknown)) << l.text;
      sawLibc = sawLibc || l.text.find("libc.so") != std::string::npos;
      syms++;
    }
  }
  EXPECT_GE(frames, 5u);  // Backtrace, 4 x Recurse, the test body, ...
  EXPECT_EQ(frames, syms) << CaptureLog::Get().Text();
  EXPECT_TRUE(sawLibc);
  // Indices start at 0 in each walk.
  EXPECT_THAT(CaptureLog::Get().Text(), HasSubstr("Backtrace[0] "));
  EXPECT_THAT(CaptureLog::Get().Text(), HasSubstr("SymBacktrace[0] "));
}

TEST(BacktraceTest, BugNumberHeaderAndLineBound) {
  CaptureLog::Get().Clear();
  Recurse(700, 12);
  auto lines = CaptureLog::Get().Lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0].text, "Backtrace for bugNr=12\n");
  size_t frames = 0;
  size_t syms = 0;
  for (const auto &l : lines) {
    frames += l.text.rfind("Backtrace[", 0) == 0;
    syms += l.text.rfind("SymBacktrace[", 0) == 0;
  }
  EXPECT_EQ(frames, 500u);
  EXPECT_EQ(syms, 500u);
}

}  // namespace
