// The level table and the module table.
#include <array>
#include <cstring>
#include <strings.h>

#include "lib/log/log_state.h"

const LogLevelEntry kLogLevelTable[kLogLevelCount] = {
    {0, "audit", "No"},    {1, "panic", "Cr"},    {2, "error", "Er"},
    {3, "warning", "Wa"},  {4, "notice", "No"},   {5, "info", "In"},
    {6, "verbose", "In"},  {7, "trivia", "In"},   {8, "debug", "Db"},
    {9, "debug1", "Db"},   {10, "debug2", "Db"},  {11, "debug3", "Db"},
    {12, "debug4", "Db"},  {13, "debug5", "Db"},  {14, "debug6", "Db"},
    {15, "debug7", "Db"},  {16, "debug8", "Db"},  {17, "debug9", "Db"},
    {18, "debug10", "Db"}, {19, "debug11", "Db"}, {20, "debug12", "Db"},
    {21, "debug13", "Db"}, {22, "debug14", "Db"}, {23, "debug15", "Db"},
};

const LogLevelEntry *LogLevelRow(uint32_t level) {
  level &= kLogLevelMask;
  return level < kLogLevelCount ? &kLogLevelTable[level] : &kLogLevelTable[kLogInfo];
}

int LogLevelByName(const char *name) {
  if (name == nullptr) {
    return -1;
  }
  for (const auto &row : kLogLevelTable) {
    if (strcasecmp(row.name, name) == 0) {
      return row.value;
    }
  }
  return -1;
}

namespace {

// Component names for the module table. The program's own components come
// first; the remaining rows are reserved for components that tag their
// messages later ("module<number>").
constexpr const char *kNamedModules[] = {
    "sightwell", "remote",  "channel",  "session", "capture", "screencast",
    "pipewire",  "frame",   "cursor",   "input",   "eis",     "soundlib",
    "audio",     "log",     "logfile",  "pref",    "config",  "dict",
    "lock",      "thread",  "sig",      "panic",   "hostinfo", "unicode",
    "codeset",   "file",    "user",     "string",  "misc",    "util",
};
constexpr size_t kNamedCount = sizeof kNamedModules / sizeof kNamedModules[0];
static_assert(kNamedCount <= kLogModuleCount);

using ModuleName = std::array<char, 16>;

constexpr std::array<ModuleName, kLogModuleCount> MakeModuleNames() {
  std::array<ModuleName, kLogModuleCount> names{};
  for (size_t i = 0; i < names.size(); i++) {
    if (i < kNamedCount) {
      const char *src = kNamedModules[i];
      for (size_t j = 0; src[j] != '\0' && j + 1 < names[i].size(); j++) {
        names[i][j] = src[j];
      }
    } else {
      const char prefix[] = "module";
      size_t j = 0;
      for (; prefix[j] != '\0'; j++) {
        names[i][j] = prefix[j];
      }
      unsigned n = static_cast<unsigned>(i + 1);
      char digits[4] = {};
      int d = 0;
      do {
        digits[d++] = static_cast<char>('0' + n % 10);
        n /= 10;
      } while (n != 0);
      while (d > 0) {
        names[i][j++] = digits[--d];
      }
    }
  }
  return names;
}

constexpr std::array<ModuleName, kLogModuleCount> kModuleNames = MakeModuleNames();

}  // namespace

const char *LogModuleTableName(int number) {
  if (number < 1 || number > kLogModuleCount) {
    return nullptr;
  }
  return kModuleNames[number - 1].data();
}

namespace {

constexpr std::array<LogModuleEntry, kLogModuleCount> MakeModuleRows() {
  std::array<LogModuleEntry, kLogModuleCount> rows{};
  for (size_t i = 0; i < rows.size(); i++) {
    rows[i] = {kModuleNames[i].data(), -1, -1};
  }
  return rows;
}

constinit std::array<LogModuleEntry, kLogModuleCount> moduleRows = MakeModuleRows();

}  // namespace

LogModuleEntry *LogModuleRow(int number) {
  if (number < 1 || number > kLogModuleCount) {
    return nullptr;
  }
  return &moduleRows[number - 1];
}
