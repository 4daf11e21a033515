// A line-mode (or whole-message) output that records what the facility
// hands it, for the facility's tests.
#pragma once

#include <string>
#include <vector>

#include "lib/log/log_output.h"

struct CapturedLine {
  LogMessageHeader header;
  std::string text;
};

struct TestOutput {
  LogOutput head{};
  std::vector<CapturedLine> lines;
  bool openResult = true;
  bool *destroyed = nullptr;

  static void Log(LogOutput *output, LogMessageHeader *header, size_t length, const char *text) {
    auto *self = reinterpret_cast<TestOutput *>(output);
    self->lines.push_back({*header, std::string(text, length)});
  }
  static bool Open(LogOutput *output) { return reinterpret_cast<TestOutput *>(output)->openResult; }
  static void Destroy(LogOutput *output) {
    auto *self = reinterpret_cast<TestOutput *>(output);
    if (self->destroyed != nullptr) {
      *self->destroyed = true;
    }
    delete self;
  }
  static constexpr LogOutputOps kOps = {Log, Open, Destroy, nullptr};

  // Heap-allocated; the facility destroys it (Log_Reset, replacement).
  static TestOutput *Create(uint32_t type, const char *name, int fileLevel = kLogInfo,
                            int stderrLevel = -1, bool wholeMessage = false) {
    auto *t = new TestOutput;
    t->head.version = kLogOutputVersion;
    t->head.type = type;
    t->head.name = const_cast<char *>(name);
    t->head.fileLevel = fileLevel;
    t->head.stderrLevel = stderrLevel;
    t->head.wholeMessage = wholeMessage ? 1 : 0;
    t->head.ops = &kOps;
    return t;
  }
  LogOutput *out() { return &head; }

  // The lines with the prefix the file output would use without time stamps.
  std::vector<std::string> Prefixed() const {
    std::vector<std::string> result;
    for (const auto &l : lines) {
      char prefix[128];
      LogFormatPrefix(prefix, sizeof prefix, l.header, {false, false, true, false, false});
      result.push_back(prefix + l.text);
    }
    return result;
  }
};
static_assert(offsetof(TestOutput, head) == 0);
