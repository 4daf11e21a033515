// Reading and parsing the per-session files.

#include "agent/session_files.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

#include <cstdint>
#include <cstring>
#include <memory>

namespace {

struct FileCloser {
  void operator()(FILE *f) const { fclose(f); }
};

}  // namespace

SessionLineResult ReadSessionLine(const char *path, char *line) {
  line[0] = '\0';
  std::unique_ptr<FILE, FileCloser> file(fopen(path, "re"));
  if (!file) {
    return SessionLineResult::kOpenFailed;
  }
  if (fgets(line, static_cast<int>(kSessionLineSize), file.get()) == nullptr) {
    line[0] = '\0';
    return SessionLineResult::kEmpty;
  }
  line[strcspn(line, "\r\n")] = '\0';
  return SessionLineResult::kOk;
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
