// The per-session files that the parent writes before a capture start: the
// session bus address, the runtime directory and the session user's id,
// each on the first line of its file.
#pragma once

#include <sys/types.h>

#include <cstddef>

constexpr size_t kSessionLineSize = 256;  // at most 255 bytes of the line
constexpr size_t kSessionReasonSize = 96;

enum class SessionLineResult {
  kOk,
  kOpenFailed,  // missing or unreadable
  kEmpty,       // no bytes at all
  kRefused,     // not a file the parent can have written: see the reason
};

// Reads the first line of path into line (kSessionLineSize bytes), cut at
// the first CR or LF and at 255 bytes. The agent runs these reads with the
// parent's privileges, so only a regular file, reached without a final
// symbolic link and owned by root or by trustedOwner, is read; anything
// else is kRefused with a short text for the log in reason
// (kSessionReasonSize bytes). The open never blocks, so a FIFO cannot stall
// the caller.
SessionLineResult ReadSessionLine(const char *path, uid_t trustedOwner, char *line, char *reason);

// True when text holds nothing but white space (or nothing at all).
bool IsBlankLine(const char *text);

// Copies at most maxChars characters of text into out (outSize bytes) with
// every byte that is not printable ASCII shown as '?' and "..." after a cut,
// so that a log line never carries more of a refused file than that.
void PrintableExcerpt(const char *text, size_t maxChars, char *out, size_t outSize);

enum class UidParseResult { kOk, kInvalid, kOutOfRange };

// Parses a decimal user id the way strtoul does (leading white space and a
// sign accepted); anything after the digits is invalid. Values that do not
// name a real user id are out of range; this includes 4294967295, which the
// set*uid calls read as "leave unchanged".
UidParseResult ParseSessionUid(const char *text, uid_t *uid);
