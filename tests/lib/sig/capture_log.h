// A log output for the support-core tests: keeps every line (with the
// thread name the facility gave it) and, when asked, appends the lines to a
// file, so that the parent of a dying death-test child can read them.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "lib/log/log.h"
#include "lib/log/log_output.h"

namespace swtest {

struct CapturedLogLine {
  std::string thread;
  std::string text;
};

class CaptureLog {
 public:
  // The process-wide capture, registered with the facility on first use.
  static CaptureLog &Get() {
    static CaptureLog *instance = [] {
      auto *c = new CaptureLog;
      Log_SetLogLevel(0, 23);
      Log_AddOutput(&c->head_);
      return c;
    }();
    return *instance;
  }

  std::vector<CapturedLogLine> Lines() {
    std::lock_guard<std::mutex> hold(mutex_);
    return lines_;
  }
  std::string Text() {
    std::string all;
    for (const auto &l : Lines()) {
      all += l.text;
    }
    return all;
  }
  // Also appends every later line to the file at path (for a forked or
  // death-test child whose parent reads the file).
  void AlsoTo(const std::string &path) {
    fd_ = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  }
  void Clear() {
    std::lock_guard<std::mutex> hold(mutex_);
    lines_.clear();
  }

 private:
  CaptureLog() {
    head_.version = kLogOutputVersion;
    head_.type = kLogOutputType34567;
    head_.name = const_cast<char *>("core-tests");
    head_.fileLevel = 23;
    head_.stderrLevel = -1;
    head_.wholeMessage = 0;
    head_.ops = &kOps;
  }
  static void LogLine(LogOutput *output, LogMessageHeader *header, size_t length,
                      const char *text) {
    auto *self = reinterpret_cast<CaptureLog *>(output);
    if (self->fd_ >= 0) {
      (void)!write(self->fd_, text, length);
    }
    std::lock_guard<std::mutex> hold(self->mutex_);
    self->lines_.push_back({header->threadName, std::string(text, length)});
  }
  static bool Open(LogOutput *) { return true; }
  static void Destroy(LogOutput *) {}  // lives for the whole test process
  static constexpr LogOutputOps kOps = {LogLine, Open, Destroy, nullptr};

  LogOutput head_{};  // first member: the facility sees a LogOutput
  int fd_ = -1;
  std::mutex mutex_;
  std::vector<CapturedLogLine> lines_;
};

inline std::string ReadWholeFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// A fresh private folder under the temp dir, removed by the destructor.
class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/sw-core-XXXXXX";
    path_ = mkdtemp(tmpl) != nullptr ? tmpl : "/tmp";
  }
  ~TempDir() {
    std::string cmd = "rm -rf '" + path_ + "'";
    if (path_ != "/tmp") {
      (void)!system(cmd.c_str());
    }
  }
  const std::string &path() const { return path_; }

 private:
  std::string path_;
};

// A folder shared by a death test's parent and its child. The child runs
// the test body (and fixture) again: it finds the parent's folder in the
// environment instead of making its own, and only the parent removes it.
class SharedTestDir {
 public:
  explicit SharedTestDir(const char *envName) : envName_(envName) {
    if (const char *inherited = getenv(envName)) {
      path_ = inherited;
    } else {
      own_ = std::make_unique<TempDir>();
      path_ = own_->path();
      setenv(envName, path_.c_str(), 1);
    }
  }
  ~SharedTestDir() {
    if (own_) {
      unsetenv(envName_);
    }
  }
  const std::string &path() const { return path_; }

 private:
  const char *envName_;
  std::string path_;
  std::unique_ptr<TempDir> own_;
};

}  // namespace swtest
