// The facility's message path: thresholds, formatting, masking, standard
// error, the early ring, delivery to outputs and their registration.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <thread>
#include <unistd.h>

#include "lib/log/log.h"
#include "lib/log/log_output.h"
#include "tests/lib/log/bounded_child.h"
#include "tests/lib/log/log_test_output.h"
#include "tests/lib/log/stderr_capture.h"

namespace {

class LogFacility : public ::testing::Test {
 protected:
  void SetUp() override {
    Log_Reset();
    Log_SetLogLevel(0, kLogInfo);
    Log_SetStderrLevel(0, -1);
    DrainRing();
  }
  void TearDown() override {
    Log_Reset();
    Log_SetLogLevel(0, kLogInfo);
    Log_SetStderrLevel(0, -1);
  }
  // Empties the early ring left by earlier tests through a throw-away output.
  static void DrainRing() {
    TestOutput *sink = TestOutput::Create(kLogOutputTypeFile, "drain");
    ASSERT_TRUE(Log_AddOutput(sink->out()));
    Log_Reset();
  }
  TestOutput *AddFileOutput(int fileLevel = kLogInfo, int stderrLevel = -1) {
    TestOutput *t = TestOutput::Create(kLogOutputTypeFile, "file", fileLevel, stderrLevel);
    EXPECT_TRUE(Log_AddOutput(t->out()));
    return t;
  }
};

TEST_F(LogFacility, LinesCarryDesignatorAndContinuationMark) {
  TestOutput *t = AddFileOutput();
  Log_Info("first line\nsecond line\n");
  Log_Warning("no newline");
  Log_Info("%s", "");
  Log_Level(kLogError, "e\n");
  Log_Level(27, "odd level shows as info\n");  // 24..31 never pass thresholds <= 23
  EXPECT_EQ(t->Prefixed(), (std::vector<std::string>{
                               "In(05) first line\n", "In(05)+ second line\n",
                               "Wa(03) no newline\n", "In(05) \n", "Er(02) e\n"}));
  Log_SetLogLevel(0, 30);
  Log_Level(27, "now it passes\n");
  EXPECT_EQ(t->Prefixed().back(), "In(05) now it passes\n");
}

TEST_F(LogFacility, PrefixColumnsFollowTheSwitches) {
  LogMessageHeader h{};
  h.level = &kLogLevelTable[kLogDebug + 3];
  h.continuation = 1;
  strcpy(h.threadName, "worker");
  strcpy(h.time.dateTime, "2024-05-06T07:08:09");
  strcpy(h.time.milliSec, ".012");
  strcpy(h.time.suffix, "Z");
  char buf[200];
  LogFormatPrefix(buf, sizeof buf, h, {true, true, true, true, true});
  EXPECT_STREQ(buf, "2024-05-06T07:08:09.012Z Db(11)+ worker - ");
  strcpy(h.opId, "op-7");
  h.continuation = 0;
  LogFormatPrefix(buf, sizeof buf, h, {true, false, false, true, true});
  EXPECT_STREQ(buf, "2024-05-06T07:08:09Z worker op-7 ");
  // A small buffer is cut, still terminated.
  EXPECT_EQ(LogFormatPrefix(buf, 8, h, {true, true, true, true, true}), 7u);
  EXPECT_EQ(strlen(buf), 7u);
}

TEST_F(LogFacility, TokenIsMaskedOnStderrAndInOutputs) {
  TestOutput *t = AddFileOutput(kLogInfo, -1);
  Log_SetStderrLevel(0, kLogWarning);
  std::string err;
  {
    StderrCapture cap;
    Log_Warning("a ZOV b zOvzov zo\n");
    Log_Info("not on stderr\n");
    err = cap.Text();
  }
  EXPECT_EQ(err, "a *** b ****** zo\n");
  ASSERT_EQ(t->lines.size(), 2u);
  EXPECT_EQ(t->lines[0].text, "a *** b ****** zo\n");
}

TEST_F(LogFacility, AuditGoesToOutputsNeverToStderr) {
  TestOutput *t = AddFileOutput(0, kLogDebug);
  Log_SetStderrLevel(0, kLogDebug);
  std::string err;
  {
    StderrCapture cap;
    Log_Level(kLogAudit, "audit\n");
    err = cap.Text();
  }
  EXPECT_EQ(err, "");
  EXPECT_EQ(t->Prefixed(), std::vector<std::string>{"No(00) audit\n"});
}

TEST_F(LogFacility, EarlyMessagesAreQueuedUntilTheFirstOutput) {
  Log_Info("queued before any output\n");
  Log_Level(kLogVerbose, "verbose is dropped\n");
  LogTimeStamp before;
  LogMakeTimeStamp(&before);
  usleep(20000);
  TestOutput *t = AddFileOutput();
  ASSERT_EQ(t->lines.size(), 1u);
  EXPECT_EQ(t->lines[0].text, "queued before any output\n");
  // The stamp is from when the message was logged, not when delivered.
  EXPECT_LE(std::string(t->lines[0].header.time.dateTime) + t->lines[0].header.time.milliSec,
            std::string(before.dateTime) + before.milliSec);
}

// Locks, threads, panic and the other modules below the facility log
// through its hook (lib/sig/log_hook.h). The facility takes the hook before
// main, so their lines, even those logged before any output exists, are
// queued for the log file like its own, not lost to standard error.
TEST_F(LogFacility, ModulesBelowTheFacilityLogThroughIt) {
  errno = EBADF;
  LogHook_Warning("lock dump %d\n", 1);
  LogHook_Level(kLogVerbose, "verbose is dropped\n");
  EXPECT_EQ(errno, EBADF);
  TestOutput *t = AddFileOutput();
  EXPECT_EQ(t->Prefixed(), std::vector<std::string>{"Wa(03) lock dump 1\n"});
}

TEST_F(LogFacility, FullEarlyRingDropsTheOldestFirst) {
  constexpr int kCount = 2000;  // about 2000 * 160 bytes, well over 64 KiB
  for (int i = 0; i < kCount; i++) {
    Log_Info("message %05d\n", i);
  }
  TestOutput *t = AddFileOutput();
  ASSERT_GT(t->lines.size(), 100u);
  ASSERT_LT(t->lines.size(), static_cast<size_t>(kCount));
  int first = atoi(t->lines[0].text.c_str() + 8);
  EXPECT_GT(first, 0);
  for (size_t i = 0; i < t->lines.size(); i++) {
    char want[32];
    snprintf(want, sizeof want, "message %05d\n", first + static_cast<int>(i));
    ASSERT_EQ(t->lines[i].text, want);
  }
  EXPECT_EQ(first + static_cast<int>(t->lines.size()), kCount);
}

// An output that logs while it writes (the file output reporting a failed
// rotation does) has its message queued; each call delivers what was queued
// when it began and returns, instead of chasing the entries it queues.
TEST_F(LogFacility, AnOutputThatLogsWhileWritingCannotKeepACallFromReturning) {
  int status = RunInChild([] {
    static int delivered = 0;
    static const LogOutputOps ops = {
        [](LogOutput *, LogMessageHeader *, size_t, const char *) {
          delivered++;
          Log_Info("logged by the output\n");
        },
        [](LogOutput *) { return true; }, [](LogOutput *) {}, nullptr};
    static LogOutput echo = {kLogOutputVersion, kLogOutputTypeFile, const_cast<char *>("file"),
                             nullptr, kLogInfo, -1, 0, &ops};
    if (!Log_AddOutput(&echo)) {
      return 2;
    }
    for (int i = 0; i < 3; i++) {
      Log_Info("call %d\n", i);
    }
    // 1, then 1 queued + 1, then 2 queued + 1.
    return delivered == 6 ? 0 : 3;
  });
  EXPECT_EQ(status, 0) << "-1: a call never returned";
}

TEST_F(LogFacility, LongMessagesUseTheSharedBufferThenAreCutOnACharacter) {
  TestOutput *t = TestOutput::Create(kLogOutputTypeFile, "file", kLogInfo, -1, true);
  ASSERT_TRUE(Log_AddOutput(t->out()));
  std::string mid(5000, 'm');
  Log_Info("%s", mid.c_str());
  ASSERT_EQ(t->lines.size(), 1u);
  EXPECT_EQ(t->lines[0].text, mid + "\n");
  // 40,000 bytes of two-byte characters: cut within 32,765 bytes, on a
  // character, newline-terminated.
  std::string big;
  for (int i = 0; i < 20000; i++) {
    big += "\xc3\xa9";
  }
  Log_Info("x%s", big.c_str());
  ASSERT_EQ(t->lines.size(), 2u);
  const std::string &cut = t->lines[1].text;
  EXPECT_EQ(cut.size(), 32766u);  // "x" + 16,382 characters + "\n"
  EXPECT_EQ(cut.back(), '\n');
  EXPECT_EQ(cut.substr(cut.size() - 3), "\xc3\xa9\n");
}

TEST_F(LogFacility, RateLimitedCallsThinOut) {
  TestOutput *t = AddFileOutput();
  uint32_t counter = 0;
  for (int i = 1; i <= 2000000; i++) {
    Log_InfoRateLimited(&counter, "n=%d\n", i);
  }
  uint32_t warnCounter = 0;
  for (int i = 0; i < 200; i++) {
    Log_WarningRateLimited(&warnCounter, "w\n");
  }
  EXPECT_EQ(counter, 2000000u);
  std::vector<int> logged;
  size_t warnings = 0;
  for (const auto &l : t->lines) {
    if (l.text == "w\n") {
      warnings++;
      EXPECT_EQ(l.header.level->value, 3);
    } else {
      logged.push_back(atoi(l.text.c_str() + 2));
    }
  }
  std::vector<int> want;
  for (int i = 1; i <= 100; i++) want.push_back(i);
  for (int i = 200; i < 10000; i += 100) want.push_back(i);
  for (int i = 10000; i < 1000000; i += 10000) want.push_back(i);
  want.push_back(1000000);
  want.push_back(2000000);
  EXPECT_EQ(logged, want);
  EXPECT_EQ(warnings, 101u);
}

TEST_F(LogFacility, RegistrationRefusals) {
  TestOutput *first = AddFileOutput();
  // Same tag and name.
  TestOutput *dup = TestOutput::Create(kLogOutputTypeFile, "file");
  EXPECT_FALSE(Log_AddOutput(dup->out()));
  EXPECT_TRUE(Log_FreeOutput(dup->out()));
  // A failing open.
  TestOutput *closed = TestOutput::Create(kLogOutputType34567, "closed");
  closed->openResult = false;
  EXPECT_FALSE(Log_AddOutput(closed->out()));
  EXPECT_TRUE(Log_FreeOutput(closed->out()));
  // The type table.
  TestOutput *exclusive = TestOutput::Create(kLogOutputType56789, "x");
  EXPECT_FALSE(Log_AddOutput(exclusive->out()));
  EXPECT_TRUE(Log_FreeOutput(exclusive->out()));
  TestOutput *t4 = TestOutput::Create(kLogOutputType45678, "x");
  EXPECT_FALSE(Log_AddOutput(t4->out()));
  EXPECT_TRUE(Log_FreeOutput(t4->out()));
  TestOutput *t2 = TestOutput::Create(kLogOutputType23456, "a");
  EXPECT_TRUE(Log_AddOutput(t2->out()));
  TestOutput *t2b = TestOutput::Create(kLogOutputType23456, "b");
  EXPECT_FALSE(Log_AddOutput(t2b->out()));
  EXPECT_TRUE(Log_FreeOutput(t2b->out()));
  // A registered output cannot be freed.
  EXPECT_FALSE(Log_FreeOutput(first->out()));
  // Up to ten outputs; the eleventh is refused.
  char names[10][16];
  for (int i = 2; i < 10; i++) {
    snprintf(names[i], sizeof names[i], "n%d", i);
    TestOutput *t = TestOutput::Create(kLogOutputType34567, names[i]);
    ASSERT_TRUE(Log_AddOutput(t->out())) << i;
  }
  TestOutput *eleventh = TestOutput::Create(kLogOutputType34567, "eleven");
  EXPECT_FALSE(Log_AddOutput(eleventh->out()));
  EXPECT_TRUE(Log_FreeOutput(eleventh->out()));
}

TEST_F(LogFacility, UnknownRegisteredTagRefusesNewcomers) {
  TestOutput *odd = TestOutput::Create(0x99999, "odd");
  ASSERT_TRUE(Log_AddOutput(odd->out()));  // the table has no row for it
  TestOutput *t = TestOutput::Create(kLogOutputTypeFile, "file");
  EXPECT_FALSE(Log_AddOutput(t->out()));
  EXPECT_TRUE(Log_FreeOutput(t->out()));
}

TEST_F(LogFacility, GlobalThresholdsFollowTheOutputs) {
  TestOutput *a = AddFileOutput(kLogInfo, kLogWarning);
  EXPECT_EQ(Log_GetLogLevel(0), kLogInfo);
  EXPECT_EQ(Log_GetStderrLevel(0), kLogWarning);
  TestOutput *b = TestOutput::Create(kLogOutputType34567, "b", kLogDebug, kLogError);
  ASSERT_TRUE(Log_AddOutput(b->out()));
  EXPECT_EQ(Log_GetLogLevel(0), kLogDebug);
  EXPECT_EQ(Log_GetStderrLevel(0), kLogWarning);  // the first output's
  Log_Level(kLogDebug, "debug\n");
  EXPECT_EQ(a->lines.size(), 0u);
  EXPECT_EQ(b->lines.size(), 1u);
  EXPECT_EQ(Log_SetOutputLevel(b->out(), kLogError), kLogDebug);
  EXPECT_EQ(Log_GetLogLevel(0), kLogInfo);
  EXPECT_TRUE(Log_IsLevelOn(kLogInfo));
  EXPECT_FALSE(Log_IsLevelOn(kLogVerbose));
  EXPECT_TRUE(Log_IsLevelOn(kLogAudit));
  bool destroyed = false;
  b->destroyed = &destroyed;
  EXPECT_TRUE(Log_ReplaceOutput(b->out(), nullptr, false));
  EXPECT_TRUE(destroyed);
  Log_Reset();
  EXPECT_FALSE(Log_IsLevelOn(kLogAudit));
}

TEST_F(LogFacility, ModuleThresholds) {
  EXPECT_EQ(Log_SetLogLevel(315, 4), -1);
  EXPECT_EQ(Log_SetStderrLevel(-1, 4), -1);
  EXPECT_EQ(Log_GetLogLevel(315), -1);
  EXPECT_EQ(Log_ModuleName(0), std::string());
  EXPECT_EQ(Log_ModuleName(315), nullptr);
  // The names are distinct and numbered 1..314.
  for (int i = 1; i <= kLogModuleCount; i++) {
    ASSERT_EQ(Log_ModuleNumber(Log_ModuleName(i)), i);
  }
  EXPECT_EQ(Log_ModuleNumber("no such module"), -1);

  TestOutput *t = AddFileOutput(kLogInfo);
  const int m = 7;
  EXPECT_EQ(Log_SetLogLevel(m, kLogDebug), kLogDebug);
  Log_Level(LogModuleLevel(m, kLogDebug), "module debug\n");
  Log_Level(kLogDebug, "global debug\n");
  Log_Level(LogModuleLevel(m + 1, kLogInfo), "module without threshold\n");
  // A module message passes an output whose own level is lower.
  EXPECT_EQ(t->Prefixed(), std::vector<std::string>{"Db(08) module debug\n"});
  EXPECT_TRUE(Log_IsLevelOn(LogModuleLevel(m, kLogDebug)));
  Log_SetLogLevel(m, -1);
}

TEST_F(LogFacility, ReplaceAndFree) {
  TestOutput *a = AddFileOutput();
  TestOutput *other = TestOutput::Create(kLogOutputTypeFile, "other");
  EXPECT_FALSE(Log_ReplaceOutput(a->out(), other->out(), false));  // names differ
  TestOutput *failing = TestOutput::Create(kLogOutputTypeFile, "file");
  failing->openResult = false;
  EXPECT_FALSE(Log_ReplaceOutput(a->out(), failing->out(), false));
  EXPECT_FALSE(Log_ReplaceOutput(other->out(), a->out(), false));  // old not registered
  TestOutput *b = TestOutput::Create(kLogOutputTypeFile, "file");
  bool destroyed = false;
  a->destroyed = &destroyed;
  EXPECT_TRUE(Log_ReplaceOutput(a->out(), b->out(), false));
  EXPECT_TRUE(destroyed);
  Log_Info("to b\n");
  EXPECT_EQ(b->lines.size(), 1u);
  EXPECT_TRUE(Log_FreeOutput(other->out()));
  EXPECT_TRUE(Log_FreeOutput(failing->out()));
}

TEST_F(LogFacility, CallsKeepErrno) {
  AddFileOutput();
  errno = ENOSPC;
  Log_Info("x\n");
  Log_Level(kLogDebug, "rejected\n");
  Log_SetLogLevel(0, kLogInfo);
  EXPECT_EQ(errno, ENOSPC);
}

TEST_F(LogFacility, OperationIdComesFromTheProvider) {
  TestOutput *t = AddFileOutput();
  Log_RegisterOpIdFunction([](size_t size, char *buf) {
    memset(buf, 'o', size);  // unterminated: the facility terminates it
    return true;
  });
  Log_Info("with id\n");
  ASSERT_EQ(t->lines.size(), 1u);
  EXPECT_EQ(std::string(t->lines[0].header.opId), std::string(32, 'o'));
  Log_RegisterOpIdFunction(nullptr);
}

TEST_F(LogFacility, ConcurrentWritersLoseNothing) {
  TestOutput *t = AddFileOutput();
  std::vector<std::thread> threads;
  for (int k = 0; k < 4; k++) {
    threads.emplace_back([k] {
      std::string big(400, static_cast<char>('a' + k));  // takes the shared buffer
      for (int i = 0; i < 200; i++) {
        if (i % 3 == 0) {
          Log_Info("%s\n", big.c_str());
        } else {
          Log_Info("t%d %d\n", k, i);
        }
      }
    });
  }
  for (auto &th : threads) {
    th.join();
  }
  EXPECT_EQ(t->lines.size(), 800u);
  for (const auto &l : t->lines) {
    ASSERT_EQ(l.text.back(), '\n');
    // A long message is whole, or cut at the local buffer when another
    // thread holds the shared one.
    if (l.text.size() > 300) {
      ASSERT_TRUE(l.text == std::string(400, l.text[0]) + "\n" ||
                  l.text == std::string(317, l.text[0]) + "\n")
          << l.text.size();
    }
  }
}

}  // namespace
