// Internals of the code-set service, for tests.
#pragma once

#include <string>

// The current encoding name computed afresh from the environment (the
// public CodeSet_GetCurrentCodeSet caches the first answer).
std::string CodeSetComputeCurrentCodeSet(void);
