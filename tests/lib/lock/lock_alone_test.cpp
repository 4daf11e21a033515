// The locks linked without the log facility, as a program below it may use
// them: the link needs nothing above lib/lock, and the dump that explains a
// misuse still reaches standard error.
#include <gtest/gtest.h>

#include "lib/lock/userlock.h"
#include "lib/sig/panic.h"
#include "tests/lib/sig/death_style.h"

namespace {

TEST(LockAlone, MisuseDumpAndPanicReachStderrWithoutTheLogFacility) {
  swtest::ThreadsafeDeathTests();
  EXPECT_EXIT(
      {
        Panic_SetCoreDumpOnPanic(false);
        MXUserRecLock *lock = MXUser_CreateRecLock("heldLock", 0xf0007100);
        MXUser_AcquireRecLock(lock);
        MXUser_DestroyRecLock(lock);
      },
      ::testing::ExitedWithCode(255),
      "MXUserDumpRecLock: Recursive lock @ 0x[0-9a-f]+\n.*\tname heldLock\n.*"
      "PANIC: MXUserCondDestroyRecLock: Destroy of an acquired recursive lock\n.*"
      "Backtrace:\n.*Exiting\n");
}

}  // namespace
