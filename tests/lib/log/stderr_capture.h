// Redirects standard error into an unlinked temporary file for a scope.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

class StderrCapture {
 public:
  StderrCapture() {
    fflush(stderr);
    saved_ = dup(STDERR_FILENO);
    char name[] = "/tmp/logtest-stderr-XXXXXX";
    fd_ = mkstemp(name);
    unlink(name);
    dup2(fd_, STDERR_FILENO);
  }
  ~StderrCapture() {
    Restore();
    close(fd_);
  }
  StderrCapture(const StderrCapture &) = delete;
  StderrCapture &operator=(const StderrCapture &) = delete;

  std::string Text() {
    Restore();
    std::string s;
    char buf[4096];
    ssize_t n;
    lseek(fd_, 0, SEEK_SET);
    while ((n = read(fd_, buf, sizeof buf)) > 0) {
      s.append(buf, static_cast<size_t>(n));
    }
    return s;
  }

 private:
  void Restore() {
    if (saved_ >= 0) {
      dup2(saved_, STDERR_FILENO);
      close(saved_);
      saved_ = -1;
    }
  }
  int saved_ = -1;
  int fd_ = -1;
};
