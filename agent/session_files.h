// The per-session files that the parent writes before a capture start: the
// session bus address, the runtime directory and the session user's id,
// each on the first line of its file.
#pragma once

#include <sys/types.h>

#include <cstddef>

constexpr size_t kSessionLineSize = 256;  // at most 255 bytes of the line

enum class SessionLineResult { kOk, kOpenFailed, kEmpty };

// Reads the first line of path into line (kSessionLineSize bytes), cut at
// the first CR or LF and at 255 bytes. kEmpty when the file has no bytes.
SessionLineResult ReadSessionLine(const char *path, char *line);

enum class UidParseResult { kOk, kInvalid, kOutOfRange };

// Parses a decimal user id the way strtoul does (leading white space and a
// sign accepted); anything after the digits is invalid. Values that do not
// name a real user id are out of range; this includes 4294967295, which the
// set*uid calls read as "leave unchanged".
UidParseResult ParseSessionUid(const char *text, uid_t *uid);
