// VThread: creation hand-over, names of created and foreign threads, the
// kernel's thread names, signal masks, the registry and the exit rules.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <thread>

#include "lib/thread/vthread.h"
#include "lib/user/msg.h"
#include "tests/lib/sig/capture_log.h"
#include "tests/lib/sig/death_style.h"

using swtest::CaptureLog;
using swtest::ReadWholeFile;
using ::testing::ExitedWithCode;
using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

class VThreadTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    CaptureLog::Get();
    VThread_Init("sightwell");
  }
};

struct Seen {
  std::string name;
  VThreadID id = 0;
  pid_t tid = 0;
  bool usr1Blocked = false;
  bool usr2Blocked = false;
  std::string comm;
};

void Observe(void *arg) {
  auto *seen = static_cast<Seen *>(arg);
  seen->name = VThread_CurName();
  seen->id = VThread_CurID();
  seen->tid = static_cast<pid_t>(syscall(SYS_gettid));
  sigset_t mask;
  pthread_sigmask(SIG_SETMASK, nullptr, &mask);
  seen->usr1Blocked = sigismember(&mask, SIGUSR1) == 1;
  seen->usr2Blocked = sigismember(&mask, SIGUSR2) == 1;
  seen->comm = ReadWholeFile("/proc/self/task/" + std::to_string(seen->tid) + "/comm");
  Log_Info("hello from the thread\n");
}

TEST_F(VThreadTest, NamedThreadRegistersBeforeCreateReturns) {
  CaptureLog::Get().Clear();
  size_t before = VThread_ActiveCount();
  // The creator's signal mask reaches the thread once it is set up.
  sigset_t usr1;
  sigset_t saved;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &usr1, &saved);
  Seen seen;
  VThreadID id = 0;
  ASSERT_TRUE(VThreadCreateNamed(Observe, &seen, "captureEvent", &id));
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  EXPECT_NE(id, 0u);
  EXPECT_GE(VThread_ActiveCount(), before + 1);
  VThread_DestroyThread(id);
  EXPECT_EQ(VThread_ActiveCount(), before);

  EXPECT_EQ(seen.id, id);
  EXPECT_EQ(seen.name, "captureEvent");
  EXPECT_TRUE(seen.usr1Blocked);
  EXPECT_FALSE(seen.usr2Blocked);
  EXPECT_EQ(seen.comm, "sightwell-captu\n");  // "%s-%s" cut to 15 bytes

  bool registered = false;
  bool threadLine = false;
  for (const auto &l : CaptureLog::Get().Lines()) {
    if (l.text == "VTHREAD " + std::to_string(static_cast<long>(id)) + " \"captureEvent\" tid " +
                      std::to_string(seen.tid) + "\n") {
      registered = true;
    }
    if (l.text == "hello from the thread\n") {
      threadLine = l.thread == "captureEvent";
    }
  }
  EXPECT_TRUE(registered);
  EXPECT_TRUE(threadLine);
}

// A bounded join that runs out leaves the thread registered and joinable,
// so the caller can still destroy it (once, with no leaked record) later.
TEST_F(VThreadTest, ABoundedJoinThatRunsOutLeavesTheThreadToDestroyLater) {
  size_t before = VThread_ActiveCount();
  std::atomic<bool> release{false};
  VThreadID id = 0;
  ASSERT_TRUE(VThreadCreateNamed(
      [](void *arg) {
        auto *flag = static_cast<std::atomic<bool> *>(arg);
        while (!flag->load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      },
      &release, "busy", &id));
  EXPECT_FALSE(VThread_DestroyThreadWithin(id, 50));
  EXPECT_EQ(VThread_ActiveCount(), before + 1);
  release.store(true);
  EXPECT_TRUE(VThread_DestroyThreadWithin(id, 10000));
  EXPECT_EQ(VThread_ActiveCount(), before);

  // A thread that already ended is joined at once.
  ASSERT_TRUE(VThreadCreateNamed([](void *) {}, nullptr, "quick", &id));
  EXPECT_TRUE(VThread_DestroyThreadWithin(id, 10000));
  EXPECT_EQ(VThread_ActiveCount(), before);
}

TEST_F(VThreadTest, UnnamedAndForeignThreadNames) {
  CaptureLog::Get().Clear();
  Seen seen;
  VThreadID id = 0;
  ASSERT_TRUE(VThreadCreate(Observe, &seen, nullptr, 0, &id));
  VThread_DestroyThread(id);
  EXPECT_EQ(seen.name, "vthread-" + std::to_string(seen.tid));
  for (const auto &l : CaptureLog::Get().Lines()) {
    if (l.text == "hello from the thread\n") {
      EXPECT_EQ(l.thread, seen.name);
    }
  }

  // A thread started by someone else gets "host-<tid>" on first use.
  std::string foreign;
  pid_t foreignTid = 0;
  std::thread([&] {
    foreignTid = static_cast<pid_t>(syscall(SYS_gettid));
    foreign = VThread_CurName();
  }).join();
  EXPECT_EQ(foreign, "host-" + std::to_string(foreignTid));

  std::string named;
  std::thread([&] {
    VThread_SetName("a-name-much-longer-than-thirty-one-characters");
    named = VThread_CurName();
  }).join();
  EXPECT_EQ(named, "a-name-much-longer-than-thirty-");
}

TEST_F(VThreadTest, InitTwiceKeepsTheFirstProgramName) {
  VThread_Init("other");
  EXPECT_STREQ(VThread_ProgramName(), "sightwell");
}

void Block(void *arg) {
  auto *release = static_cast<std::atomic<bool> *>(arg);
  while (!release->load()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

TEST_F(VThreadTest, DumpActiveListsRegisteredThreads) {
  std::atomic<bool> release{false};
  VThreadID id = 0;
  ASSERT_TRUE(VThreadCreateNamed(Block, &release, "session", &id));
  size_t stack = VThread_TotalStackBytes();
  EXPECT_GT(stack, 0u);
  CaptureLog::Get().Clear();
  VThread_DumpActive();
  std::string text = CaptureLog::Get().Text();
  EXPECT_THAT(text, StartsWith("VTHREAD begin active threads\n"));
  EXPECT_THAT(text, HasSubstr("VTHREAD   name=session VThreadID=" +
                              std::to_string(static_cast<unsigned long>(id)) + "\n"));
  EXPECT_THAT(text, HasSubstr("VTHREAD   name=sightwell VThreadID="));
  EXPECT_THAT(text, HasSubstr("VTHREAD end active threads\n"));
  release = true;
  VThread_DestroyThread(id);
  EXPECT_LT(VThread_TotalStackBytes(), stack);  // its stack left the total
}

void Nothing(void *) {}

TEST_F(VThreadTest, RefusalsAreReportedNotFatal) {
  CaptureLog::Get().Clear();
  VThreadID id = 0;
  // A stack below the platform minimum is refused; the thread still runs.
  ASSERT_TRUE(VThreadCreate(Nothing, nullptr, "small", 16, &id));
  VThread_DestroyThread(id);
  EXPECT_THAT(CaptureLog::Get().Text(),
              HasSubstr("Could not set child thread stack size to 16: Invalid argument\n"));

  // Priority 0 raised to a minimum of 1 is refused by the default policy.
  VThread_SetPriorityBounds(1, 5);
  ASSERT_TRUE(VThreadCreate(Nothing, nullptr, "prio", 0, &id));
  VThread_DestroyThread(id);
  VThread_SetPriorityBounds(INT_MIN, INT_MAX);
  EXPECT_THAT(CaptureLog::Get().Text(),
              HasSubstr("VTHREAD pthread_setschedparam failed: Invalid argument\n"));

  // A stack no machine can map: creation fails with a user message.
  Msg_Reset(false);
  id = 12345;
  EXPECT_FALSE(VThreadCreate(Nothing, nullptr, "huge", size_t{1} << 52, &id));
  EXPECT_EQ(id, 0u);
  const MsgList *msg = Msg_GetMsgList();
  ASSERT_NE(msg, nullptr);
  EXPECT_STREQ(msg->id, "msg.vthreadPosix.createThreadFailed");
  EXPECT_THAT(msg->text, StartsWith("Cannot start thread: "));
  Msg_Reset(false);
}

void ExitWhenLast(void *) {}

// Not a VThreadTest: the main thread of these children is never registered.
TEST(VThreadExit, ExitRules) {
  swtest::ThreadsafeDeathTests();
  // With the main thread unregistered, the one created thread is the last
  // registered thread: its clean end ends the process with status 0.
  EXPECT_EXIT(
      {
        VThreadID id;
        VThreadCreate(ExitWhenLast, nullptr, nullptr, 0, &id);
        for (;;) {
          pause();
        }
      },
      ExitedWithCode(0), "");
  EXPECT_EXIT(
      {
        VThread_SetIsInSignal(true);
        VThread_ExitThread(true);
      },
      ExitedWithCode(1), "");
  EXPECT_EXIT(VThread_ExitThread(false), ExitedWithCode(1), "");
}

TEST_F(VThreadTest, InSignalCounterNests) {
  EXPECT_FALSE(VThread_IsInSignal());
  VThread_SetIsInSignal(true);
  VThread_SetIsInSignal(true);
  VThread_SetIsInSignal(false);
  EXPECT_TRUE(VThread_IsInSignal());
  VThread_SetIsInSignal(false);
  EXPECT_FALSE(VThread_IsInSignal());
}

}  // namespace
