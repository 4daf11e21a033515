// Opening the log file: type check, the safe open that refuses links and
// replaced files, rotation of a fixed name and the identification block.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "lib/log/log_file_internal.h"
#include "lib/log/log_state.h"

namespace {

uint64_t MonotonicUs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

std::atomic<LogFileClock> clockFn{MonotonicUs};

bool AllocateThrottleRing(LogFileOutput *out) {
  if (out->throttleStorage == nullptr) {
    out->throttleStorage = static_cast<uint8_t *>(malloc(kLogRingSize));
    if (out->throttleStorage == nullptr) {
      return false;
    }
  }
  LogRingInit(&out->throttleRing, out->throttleStorage, kLogRingSize);
  return true;
}

bool OpenNormal(LogFileOutput *out) {
  bool moved = true;
  if (!out->nameGenerated && out->keepOld > 0) {
    moved = LogFileRotate(out);
  }
  int fd = LogFileSafeOpen(out);
  if (fd < 0) {
    Log_Warning("Open of '%s' failed\n", out->fileName);
    return false;
  }
  // A previous file that could not be moved away is kept: this run's lines
  // follow it rather than replace it.
  if (!moved) {
    Log_Warning("Appending to '%s', which could not be rotated\n", out->fileName);
    lseek(fd, 0, SEEK_END);
  } else if (ftruncate(fd, 0) != 0) {
    Log_Warning("Truncation of '%s' failed: %s\n", out->fileName, strerror(errno));
    close(fd);
    return false;
  }
  out->fd = fd;
  LogMessageHeader header;
  LogFileMakeHeader(&header, kLogInfo);
  if (!LogFileWriteIdentification(out, header) || !AllocateThrottleRing(out)) {
    close(fd);
    out->fd = -1;
    return false;
  }
  off_t pos = lseek(fd, 0, SEEK_END);
  out->bytesWritten = pos > 0 ? static_cast<uint64_t>(pos) : 0;
  return true;
}

bool OpenFile(LogFileOutput *out) {
  struct stat st;
  if (stat(out->fileName, &st) == 0 && !S_ISREG(st.st_mode)) {
    Log_Warning("Rejecting '%s' because it is not an acceptable type.\n", out->fileName);
    return false;
  }
  if (out->append) {
    int fd = LogFileSafeOpen(out);
    if (fd >= 0) {
      if (!AllocateThrottleRing(out)) {
        close(fd);
        return false;
      }
      out->fd = fd;
      off_t pos = lseek(fd, 0, SEEK_END);
      out->bytesWritten = pos > 0 ? static_cast<uint64_t>(pos) : 0;
      return true;
    }
    Log_Warning("Could not open log file '%s' for append, ignoring log.append option\n",
                out->fileName);
    out->append = false;
  }
  return OpenNormal(out);
}

}  // namespace

void LogFileSetClock(LogFileClock clock) {
  clockFn.store(clock != nullptr ? clock : MonotonicUs, std::memory_order_release);
}

uint64_t LogFileNowUs(void) { return clockFn.load(std::memory_order_acquire)(); }

int LogFileSafeOpen(const LogFileOutput *out, bool report) {
  const char *name = out->fileName;
  // O_NOFOLLOW: a link at the path is never followed, so its target is
  // neither created nor opened.
  int fd = open(name, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC,
                static_cast<mode_t>(out->permissions));
  if (fd < 0) {
    int err = errno;
    struct stat lst;
    if (!report) {
      return -1;
    }
    if (err == ELOOP && lstat(name, &lst) == 0 && S_ISLNK(lst.st_mode)) {
      Log_Warning("Log file '%s' is a symbolic link.\n", name);
    } else {
      Log_Warning("Unable to open '%s': %s\n", name, strerror(err));
    }
    return -1;
  }
  struct stat fst, lst;
  const char *problem = nullptr;
  int err = 0;
  if (fstat(fd, &fst) != 0) {
    problem = "Cannot fstat the file '%s': '%s'\n";
    err = errno;
  } else if (lstat(name, &lst) != 0) {
    problem = "Cannot lstat the file '%s': '%s'\n";
    err = errno;
  } else if (S_ISLNK(lst.st_mode)) {
    problem = "Log file '%s' is a symbolic link.\n";
  } else if (fst.st_dev != lst.st_dev || fst.st_ino != lst.st_ino) {
    problem = "Log file '%s' has changed.\n";
  } else {
    return fd;
  }
  close(fd);
  if (report) {
    Log_Warning(problem, name, strerror(err));
  }
  return -1;
}

bool LogFileRotate(LogFileOutput *out, bool report) {
  uint64_t start = LogFileNowUs();
  bool moved = LogFileRotateFiles(out->fileName, out->keepOld, out->fastRotation, report);
  double seconds = static_cast<double>(LogFileNowUs() - start) / 1e6;
  if (report || moved) {
    Log_Info("%s: Rotating to a new log file (keepOld %d) took %f seconds.\n", "LogRotation",
             out->keepOld, seconds);
  }
  return moved;
}

bool LogFileOpen(LogOutput *output) {
  LogErrnoKeeper keepErrno;
  LogFileOutput *out = AsFileOutput(output);
  if (out->opened) {
    return out->openResult;
  }
  out->opened = true;
  out->openResult = OpenFile(out);
  if (out->openResult) {
    out->throttleTotal = out->bytesWritten;
  }
  return out->openResult;
}
