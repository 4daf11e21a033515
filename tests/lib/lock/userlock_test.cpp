// MXUser locks, condition variables and semaphores across real threads,
// and the fatal stops of misuse with their dumps.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "lib/lock/userlock.h"
#include "lib/sig/panic.h"
#include "tests/lib/sig/capture_log.h"
#include "tests/lib/sig/death_style.h"

using swtest::CaptureLog;
using swtest::ReadWholeFile;
using ::testing::ContainsRegex;
using ::testing::ExitedWithCode;
using ::testing::HasSubstr;
using Clock = std::chrono::steady_clock;

namespace {

bool TryFromOtherThread(MXUserRecLock *lock) {
  bool taken = false;
  std::thread([&] {
    taken = MXUser_TryAcquireRecLock(lock);
    if (taken) {
      MXUser_ReleaseRecLock(lock);
    }
  }).join();
  return taken;
}

TEST(RecLock, OwnerMustReleaseAsOftenAsItAcquired) {
  MXUserRecLock *lock = MXUser_CreateRecLock("nest", 1);
  MXUser_AcquireRecLock(lock);
  MXUser_AcquireRecLock(lock);
  EXPECT_TRUE(MXUser_TryAcquireRecLock(lock));
  EXPECT_TRUE(MXUser_IsCurThreadHoldingRecLock(lock));
  EXPECT_FALSE(TryFromOtherThread(lock));
  MXUser_ReleaseRecLock(lock);
  MXUser_ReleaseRecLock(lock);
  EXPECT_FALSE(TryFromOtherThread(lock));
  MXUser_ReleaseRecLock(lock);
  EXPECT_FALSE(MXUser_IsCurThreadHoldingRecLock(lock));
  EXPECT_TRUE(TryFromOtherThread(lock));
  MXUser_DestroyRecLock(lock);
}

TEST(RecLock, ExtraReferenceKeepsTheLockAlive) {
  size_t before = MXUser_ListLength();
  MXUserRecLock *lock = MXUser_CreateRecLock("shared", 1);
  EXPECT_EQ(MXUser_ListLength(), before + 1);
  MXUser_IncRefRecLock(lock);
  MXUser_DestroyRecLock(lock);  // drops the extra reference only
  EXPECT_EQ(MXUser_ListLength(), before + 1);
  MXUser_AcquireRecLock(lock);
  MXUser_ReleaseRecLock(lock);
  MXUser_DestroyRecLock(lock);
  EXPECT_EQ(MXUser_ListLength(), before);
}

TEST(Locks, MutualExclusionUnderContention) {
  MXUserExclLock *excl = MXUser_CreateExclLock("counter", 1);
  MXUserRecLock *rec = MXUser_CreateRecLock("counter2", 1);
  long exclCount = 0;
  long recCount = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; i++) {
        MXUserExclGuard hold(excl);
        exclCount++;
        MXUserRecGuard outer(rec);
        MXUserRecGuard inner(rec);
        recCount++;
      }
    });
  }
  for (auto &t : threads) {
    t.join();
  }
  EXPECT_EQ(exclCount, 80000);
  EXPECT_EQ(recCount, 80000);
  MXUser_DestroyExclLock(excl);
  MXUser_DestroyRecLock(rec);
}

TEST(Locks, DefaultNamesAndSingletons) {
  CaptureLog::Get();
  std::atomic<MXUserExclLock *> slot{nullptr};
  std::vector<MXUserExclLock *> seen(8);
  std::vector<std::thread> threads;
  size_t before = MXUser_ListLength();
  for (size_t i = 0; i < seen.size(); i++) {
    threads.emplace_back([&, i] { seen[i] = MXUser_CreateSingletonExclLock(&slot, "one", 3); });
  }
  for (auto &t : threads) {
    t.join();
  }
  for (auto *l : seen) {
    EXPECT_EQ(l, slot.load());
  }
  EXPECT_EQ(MXUser_ListLength(), before + 1);  // the losers' locks are gone
  std::atomic<MXUserRecLock *> recSlot{nullptr};
  EXPECT_EQ(MXUser_CreateSingletonRecLock(&recSlot, "r", 1),
            MXUser_CreateSingletonRecLock(&recSlot, "r", 1));
  std::atomic<MXUserSemaphore *> semaSlot{nullptr};
  EXPECT_EQ(MXUser_CreateSingletonSemaphore(&semaSlot, "s", 1),
            MXUser_CreateSingletonSemaphore(&semaSlot, "s", 1));
}

TEST(CondVar, HandOverBetweenThreads) {
  MXUserExclLock *lock = MXUser_CreateExclLock("queue", 1);
  MXUserCondVar *cv = MXUser_CreateCondVarExclLock(lock);
  std::vector<int> queue;
  std::vector<int> received;
  std::thread consumer([&] {
    MXUser_AcquireExclLock(lock);
    while (received.size() < 100) {
      while (queue.empty()) {
        MXUser_WaitCondVarExclLock(lock, cv);
        EXPECT_TRUE(MXUser_IsCurThreadHoldingExclLock(lock));
      }
      received.push_back(queue.front());
      queue.erase(queue.begin());
    }
    MXUser_ReleaseExclLock(lock);
  });
  for (int i = 0; i < 100; i++) {
    MXUser_AcquireExclLock(lock);
    queue.push_back(i);
    MXUser_SignalCondVar(cv);
    MXUser_ReleaseExclLock(lock);
  }
  consumer.join();
  ASSERT_EQ(received.size(), 100u);
  for (int i = 0; i < 100; i++) {
    EXPECT_EQ(received[static_cast<size_t>(i)], i);
  }
  MXUser_DestroyCondVar(cv);
  MXUser_DestroyExclLock(lock);
}

TEST(CondVar, TimedWaitTimesOutAndRestoresNesting) {
  MXUserRecLock *lock = MXUser_CreateRecLock("timed", 1);
  MXUserCondVar *cv = MXUser_CreateCondVarRecLock(lock);
  MXUser_AcquireRecLock(lock);
  MXUser_AcquireRecLock(lock);
  auto start = Clock::now();
  MXUser_TimedWaitCondVarRecLock(lock, cv, 120);
  auto waited = Clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(110));
  EXPECT_LT(waited, std::chrono::seconds(5));
  EXPECT_TRUE(MXUser_IsCurThreadHoldingRecLock(lock));
  // While waiting the lock was free for others; afterwards both levels of
  // nesting are back, so one release leaves it held.
  MXUser_ReleaseRecLock(lock);
  EXPECT_TRUE(MXUser_IsCurThreadHoldingRecLock(lock));
  EXPECT_FALSE(TryFromOtherThread(lock));
  MXUser_ReleaseRecLock(lock);
  EXPECT_TRUE(TryFromOtherThread(lock));

  // A broadcast wakes a waiter before its time-out.
  std::atomic<bool> woke{false};
  std::thread waiter([&] {
    MXUser_AcquireRecLock(lock);
    MXUser_TimedWaitCondVarRecLock(lock, cv, 10000);
    woke = true;
    MXUser_ReleaseRecLock(lock);
  });
  start = Clock::now();
  while (!woke) {
    MXUser_AcquireRecLock(lock);
    MXUser_BroadcastCondVar(cv);
    MXUser_ReleaseRecLock(lock);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  waiter.join();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  MXUser_DestroyCondVar(cv);
  MXUser_DestroyRecLock(lock);
}

TEST(Semaphore, CountsAndTimeOuts) {
  MXUserSemaphore *sema = MXUser_CreateSemaphore("sema", 1);
  EXPECT_FALSE(MXUser_TryDownSemaphore(sema));
  auto start = Clock::now();
  EXPECT_FALSE(MXUser_TimedDownSemaphore(sema, 100));
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(90));
  MXUser_UpSemaphore(sema);
  MXUser_UpSemaphore(sema);
  start = Clock::now();
  EXPECT_TRUE(MXUser_TimedDownSemaphoreNS(sema, 5000000000ULL));
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
  EXPECT_TRUE(MXUser_TryDownSemaphore(sema));
  EXPECT_FALSE(MXUser_TryDownSemaphore(sema));

  std::thread poster([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    MXUser_UpSemaphore(sema);
  });
  MXUser_DownSemaphore(sema);  // returns only after the post
  poster.join();
  EXPECT_FALSE(MXUser_TryDownSemaphore(sema));
  MXUser_DestroySemaphore(sema);
}

// Fatal stops: the child logs into a file that the parent reads.
class LockDeath : public ::testing::Test {
 protected:
  void SetUp() override {
    swtest::ThreadsafeDeathTests();
    logPath_ = dir_.path() + "/log";
  }
  std::string ChildLog() { return ReadWholeFile(logPath_); }
  void Prepare() {
    CaptureLog::Get().AlsoTo(logPath_);
    Panic_SetCoreDumpOnPanic(false);
  }
  swtest::SharedTestDir dir_{"SW_CORE_TEST_DIR"};
  std::string logPath_;
};

TEST_F(LockDeath, DestroyingHeldRecursiveLockDumpsAndStops) {
  EXPECT_EXIT(
      {
        Prepare();
        MXUserRecLock *lock = MXUser_CreateRecLock("heldLock", 0xf0007100);
        MXUser_AcquireRecLock(lock);
        MXUser_DestroyRecLock(lock);
      },
      ExitedWithCode(255), "MXUserCondDestroyRecLock: Destroy of an acquired recursive lock\n");
  std::string log = ChildLog();
  EXPECT_THAT(log, ContainsRegex("MXUserDumpRecLock: Recursive lock @ 0x[0-9a-f]+\n"));
  EXPECT_THAT(log, ContainsRegex("\tsignature 0x2[0-9A-F]{7}\n"));
  EXPECT_THAT(log, HasSubstr("\tname heldLock\n\trank 0xF0007100\n"));
  EXPECT_THAT(log, ContainsRegex("\tserial number [1-9][0-9]*\n\treference count 0\n"
                                 "\tlock count 1\n\taddress of owner data 0x[0-9a-f]+\n"));
  EXPECT_THAT(log, HasSubstr("PANIC: MXUserCondDestroyRecLock: Destroy of an acquired "
                             "recursive lock\n"));
}

TEST_F(LockDeath, DestroyingHeldExclusiveLockStops) {
  EXPECT_EXIT(
      {
        Prepare();
        MXUserExclLock *lock = MXUser_CreateExclLock(nullptr, 7);
        MXUser_AcquireExclLock(lock);
        MXUser_DestroyExclLock(lock);
      },
      ExitedWithCode(255), "MXUser_DestroyExclLock: Destroy of an acquired exclusive lock\n");
  std::string log = ChildLog();
  EXPECT_THAT(log, ContainsRegex("MXUserDumpExclLock: Exclusive lock @ 0x[0-9a-f]+\n"
                                 "\tsignature 0x4[0-9A-F]{7}\n\tname X-0x[0-9a-f]+\n\trank 0x7\n"));
}

TEST_F(LockDeath, WaitingWithAnotherLockStops) {
  EXPECT_EXIT(
      {
        Prepare();
        MXUserExclLock *a = MXUser_CreateExclLock("lockA", 1);
        MXUserExclLock *b = MXUser_CreateExclLock("lockB", 1);
        MXUserCondVar *cv = MXUser_CreateCondVarExclLock(b);
        MXUser_AcquireExclLock(a);
        MXUser_WaitCondVarExclLock(a, cv);
      },
      ExitedWithCode(255),
      "MXUserWaitCondVar: invalid use of lock lockA with condVar \\(0x0x[0-9a-f]+; lockB\\)\n");
  EXPECT_THAT(ChildLog(), HasSubstr("\tname lockA\n"));
}

TEST_F(LockDeath, DestroyingBusyCondVarOrSemaphoreStops) {
  EXPECT_EXIT(
      {
        Prepare();
        MXUserExclLock *lock = MXUser_CreateExclLock("cvLock", 1);
        MXUserCondVar *cv = MXUser_CreateCondVarExclLock(lock);
        std::thread([&] {
          MXUser_AcquireExclLock(lock);
          MXUser_WaitCondVarExclLock(lock, cv);
        }).detach();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        MXUser_DestroyCondVar(cv);
      },
      ExitedWithCode(255),
      "MXUser_DestroyCondVar: Attempted destroy on active condVar \\(0x0x[0-9a-f]+; cvLock\\)\n");
  EXPECT_EXIT(
      {
        Prepare();
        MXUserSemaphore *sema = MXUser_CreateSemaphore(nullptr, 2);
        std::thread([&] { MXUser_DownSemaphore(sema); }).detach();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        MXUser_DestroySemaphore(sema);
      },
      ExitedWithCode(255), "MXUser_DestroySemaphore: Attempted destroy on semaphore while in use\n");
  EXPECT_THAT(ChildLog(),
              ContainsRegex("MXUserDumpSemaphore: semaphore @ 0x[0-9a-f]+\n\tsignature "
                            "0x5[0-9A-F]{7}\n\tname Sema-0x[0-9a-f]+\n\trank 0x2\n\tserial "
                            "number [0-9]+\n\treference count 1\n\taddress of native "
                            "semaphore 0x[0-9a-f]+\n"));
}

TEST_F(LockDeath, ReleaseByNonOwnerStops) {
  EXPECT_EXIT(
      {
        Prepare();
        MXUserExclLock *lock = MXUser_CreateExclLock("owned", 1);
        MXUser_AcquireExclLock(lock);
        std::thread([&] { MXUser_ReleaseExclLock(lock); }).join();
      },
      ExitedWithCode(255), "MXUser_ReleaseExclLock: Non-owner release of an exclusive lock\n");
}

}  // namespace
