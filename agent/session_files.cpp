// Reading and parsing the per-session files.

#include "agent/session_files.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstring>

#include "lib/misc/unique_fd.h"

SessionLineResult ReadSessionLine(const char *path, uid_t trustedOwner, char *line, char *reason) {
  line[0] = '\0';
  reason[0] = '\0';
  // O_NOFOLLOW: a link planted in the parent's folder must not make the
  // agent (often root) read a file it points to. O_NONBLOCK: opening a FIFO
  // without a writer would otherwise wait for one on the main thread.
  UniqueFd file(open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
  if (!file.valid()) {
    if (errno == ELOOP) {
      snprintf(reason, kSessionReasonSize, "it is a symbolic link");
      return SessionLineResult::kRefused;
    }
    return SessionLineResult::kOpenFailed;
  }
  struct stat st;
  if (fstat(file.get(), &st) != 0) {
    return SessionLineResult::kOpenFailed;
  }
  if (!S_ISREG(st.st_mode)) {
    snprintf(reason, kSessionReasonSize, "it is not a regular file");
    return SessionLineResult::kRefused;
  }
  if (st.st_uid != 0 && st.st_uid != trustedOwner) {
    snprintf(reason, kSessionReasonSize, "it is owned by uid %u, not by root or uid %u",
             static_cast<unsigned>(st.st_uid), static_cast<unsigned>(trustedOwner));
    return SessionLineResult::kRefused;
  }

  // Only the first line counts, so the read stops after 255 bytes whatever
  // the file's size.
  size_t got = 0;
  while (got < kSessionLineSize - 1) {
    ssize_t n = read(file.get(), line + got, kSessionLineSize - 1 - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return SessionLineResult::kOpenFailed;
    if (n == 0) break;
    got += static_cast<size_t>(n);
    if (memchr(line + got - n, '\n', static_cast<size_t>(n)) != nullptr) break;
  }
  line[got] = '\0';
  if (got == 0) {
    return SessionLineResult::kEmpty;
  }
  line[strcspn(line, "\r\n")] = '\0';
  return SessionLineResult::kOk;
}

bool IsBlankLine(const char *text) {
  for (const char *p = text; *p != '\0'; p++) {
    if (!isspace(static_cast<unsigned char>(*p))) return false;
  }
  return true;
}

void PrintableExcerpt(const char *text, size_t maxChars, char *out, size_t outSize) {
  if (outSize == 0) return;
  size_t room = outSize - 1;
  size_t len = strlen(text);
  bool cut = len > maxChars || len > room;
  size_t keep = len < maxChars ? len : maxChars;
  if (cut) {
    size_t limit = room > 3 ? room - 3 : 0;
    if (keep > limit) keep = limit;
  }
  for (size_t i = 0; i < keep; i++) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    out[i] = c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '?';
  }
  size_t end = keep;
  if (cut) {
    for (int i = 0; i < 3 && end < room; i++) out[end++] = '.';
  }
  out[end] = '\0';
}

UidParseResult ParseSessionUid(const char *text, uid_t *uid) {
  errno = 0;
  char *end = nullptr;
  unsigned long value = strtoul(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0') {
    return UidParseResult::kInvalid;
  }
  // UINT32_MAX is (uid_t)-1, which setresuid takes as "no change": accepting
  // it would leave the capture running under the parent's account while
  // reporting a successful switch.
  if (value >= UINT32_MAX) {
    return UidParseResult::kOutOfRange;
  }
  *uid = static_cast<uid_t>(value);
  return UidParseResult::kOk;
}
