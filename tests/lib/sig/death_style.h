// Death tests of the support core run in freshly executed children, so a
// child starts without the parent's threads, log outputs or panic state.
// Set at run time: gtest's own flag storage may be initialised after any
// static initialiser of ours.
#pragma once

#include <gtest/gtest.h>

namespace swtest {
inline void ThreadsafeDeathTests() { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
}  // namespace swtest
