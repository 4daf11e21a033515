// Panic and the assertion texts: exit status, standard error and the log.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "lib/sig/panic.h"
#include "tests/lib/sig/capture_log.h"
#include "tests/lib/sig/death_style.h"

using swtest::CaptureLog;
using swtest::ReadWholeFile;
using ::testing::ExitedWithCode;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

// Death-test children log into a file the parent reads afterwards.
class PanicTest : public ::testing::Test {
 protected:
  void SetUp() override {
    swtest::ThreadsafeDeathTests();
    logPath_ = dir_.path() + "/log";
  }
  std::string ChildLog() { return ReadWholeFile(logPath_); }

  swtest::SharedTestDir dir_{"SW_CORE_TEST_DIR"};
  std::string logPath_;
};

void NoCoreLimit() {
  struct rlimit zero {0, 0};
  setrlimit(RLIMIT_CORE, &zero);
}

TEST_F(PanicTest, FirstPanicLogsBacktraceAndExits255) {
  EXPECT_EXIT(
      {
        CaptureLog::Get().AlsoTo(logPath_);
        Panic_SetCoreDumpOnPanic(false);
        Panic("disk %s is gone\n", "sda");
      },
      ExitedWithCode(255), "disk sda is gone\n");
  std::string log = ChildLog();
  EXPECT_THAT(log, HasSubstr("PANIC: disk sda is gone\n"));
  EXPECT_THAT(log, HasSubstr("Backtrace:\n"));
  EXPECT_THAT(log, HasSubstr("Backtrace[0] "));
  EXPECT_THAT(log, HasSubstr("SymBacktrace[0] "));
  EXPECT_THAT(log, HasSubstr("Exiting\n"));
  EXPECT_THAT(log, Not(HasSubstr("Sig_CoreDump")));
  EXPECT_LT(log.find("PANIC: "), log.find("Backtrace:"));
  EXPECT_LT(log.find("Backtrace:"), log.find("Exiting\n"));
}

TEST_F(PanicTest, ZeroCoreLimitWarnsAndStillExits255) {
  EXPECT_EXIT(
      {
        CaptureLog::Get().AlsoTo(logPath_);
        NoCoreLimit();
        Panic("zero\n");
      },
      ExitedWithCode(255), "zero\n");
  std::string log = ChildLog();
  EXPECT_THAT(log,
              HasSubstr("\nThe core dump limit is set to ZERO; no core dump should be expected\n"));
  EXPECT_THAT(log, HasSubstr("Sig_CoreDump: SigGetCoreFileName failure"));
  EXPECT_THAT(log, Not(HasSubstr("Attempting a core dump")));
  EXPECT_THAT(log, HasSubstr("Exiting\n"));
}

TEST_F(PanicTest, PanicDuringPanicEndsWithStatus1) {
  // The second panic comes from another thread once the first one is under
  // way (it then parks in the loop): the second must not wait for it.
  EXPECT_EXIT(
      {
        CaptureLog::Get().AlsoTo(logPath_);
        Panic_SetCoreDumpOnPanic(false);
        Panic_SetLoopOnPanic(true);
        std::thread second([] {
          while (CaptureLog::Get().Text().find("PANIC: first") == std::string::npos) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
          }
          Panic("second\n");
        });
        second.detach();
        Panic("first\n");
      },
      ExitedWithCode(1), "first\n(.|\n)*second\n(.|\n)*Panic loop\n");
  std::string log = ChildLog();
  EXPECT_THAT(log, HasSubstr("PANIC: first\n"));
  EXPECT_THAT(log, HasSubstr("PANIC: second\n"));
  EXPECT_THAT(log, HasSubstr("Panic loop\n"));
  EXPECT_THAT(log, Not(HasSubstr("Exiting\n")));
}

TEST_F(PanicTest, LoopOnPanicKeepsTheProcessAlive) {
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    dup2(pipeFds[1], STDERR_FILENO);
    close(pipeFds[0]);
    Panic_SetCoreDumpOnPanic(false);
    Panic_SetLoopOnPanic(true);
    Panic("parked\n");
  }
  close(pipeFds[1]);
  std::string err;
  char buf[256];
  while (err.find("Looping pid=") == std::string::npos) {
    ssize_t n = read(pipeFds[0], buf, sizeof buf);
    if (n <= 0) {
      break;
    }
    err.append(buf, static_cast<size_t>(n));
  }
  EXPECT_THAT(err, HasSubstr("Looping pid=" + std::to_string(child) + "\n"));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  int status = 0;
  EXPECT_EQ(waitpid(child, &status, WNOHANG), 0) << "the panicking process ended";
  kill(child, SIGKILL);
  waitpid(child, &status, 0);
  // Drain what it wrote while looping: "Looping" appears once.
  ssize_t n;
  while ((n = read(pipeFds[0], buf, sizeof buf)) > 0) {
    err.append(buf, static_cast<size_t>(n));
  }
  close(pipeFds[0]);
  EXPECT_EQ(err.find("Looping pid="), err.rfind("Looping pid="));
}

TEST_F(PanicTest, AssertionTexts) {
  EXPECT_EXIT({ Panic_SetCoreDumpOnPanic(false); VERIFY(1 + 1 == 3); }, ExitedWithCode(255),
              "^VERIFY tests/lib/sig/panic_test:[0-9]+\n");
  EXPECT_EXIT({ Panic_SetCoreDumpOnPanic(false); VERIFY_BUG(false, 4711); },
              ExitedWithCode(255), "^VERIFY tests/lib/sig/panic_test:[0-9]+ bugNr=4711\n");
  EXPECT_EXIT({ Panic_SetCoreDumpOnPanic(false); NOT_IMPLEMENTED(); }, ExitedWithCode(255),
              "^NOT_IMPLEMENTED tests/lib/sig/panic_test:[0-9]+\n");
  EXPECT_EXIT({ Panic_SetCoreDumpOnPanic(false); NOT_REACHED(); }, ExitedWithCode(255),
              "^NOT_REACHED tests/lib/sig/panic_test:[0-9]+\n");
  EXPECT_EXIT({ Panic_SetCoreDumpOnPanic(false); Panic_MemAllocSize(12345); },
              ExitedWithCode(255), "^Unrecoverable memory allocation failure, 12345 bytes attempted\n");
  EXPECT_EXIT({ Panic_SetCoreDumpOnPanic(false); Panic_MemAllocFailure(__FILE__, 77); },
              ExitedWithCode(255),
              "^Unrecoverable memory allocation failure at tests/lib/sig/panic_test:77\n");
}

TEST(PanicSourcePath, StripsRootAndExtension) {
  char buf[256];
  EXPECT_STREQ(Panic_SourcePath(SIGHTWELL_SOURCE_DIR "/lib/string/str.cpp", buf, sizeof buf),
               "lib/string/str");
  EXPECT_STREQ(Panic_SourcePath("/elsewhere/dir.d/file", buf, sizeof buf), "/elsewhere/dir.d/file");
  char tiny[4];
  EXPECT_STREQ(Panic_SourcePath(SIGHTWELL_SOURCE_DIR "/lib/string/str.cpp", tiny, sizeof tiny),
               "lib");
}

}  // namespace
