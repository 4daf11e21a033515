// How the agent's own code reports failure, in one place.
//
// A function that can fail returns 0 on success and -1 on failure with errno
// set to the cause (one that yields a descriptor returns it, or -1 with
// errno set; one that yields an object returns it, or null with errno set).
// A failure is logged once, by the caller that decides what happens next,
// never also by the function that returned it, and the log line carries the
// error's text: LogSystemError. The agent's older lines that print
// "errno = %d" keep their exact wording, since operators and the parent's
// developers search for them.
#pragma once

#include <cstdint>

#include "lib/log/log.h"

// Logs fmt's text at level, followed by ": " and the text of err (an errno
// value), for example "Failed to open '/x': No such file or directory".
// Leaves errno unchanged.
void LogSystemError(uint32_t level, int err, const char *fmt, ...) SW_PRINTF(3, 4);
