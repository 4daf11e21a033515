// The log file output when its folder misbehaves: a new file that cannot be
// opened after the old ones were moved (no descriptor, no inode left) and a
// folder that fills up and empties again. Each scenario runs in a child
// with a time bound, since the faults it guards against spin for ever.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "tests/lib/log/bounded_child.h"
#include "tests/lib/log/log_file_fixture.h"

namespace {

uint64_t fakeNowUs = 0;
uint64_t FakeClock() { return fakeNowUs; }

class LogFileFault : public LogFileTest {
 protected:
  void TearDown() override {
    if (mounted_) {
      umount2(dir_.c_str(), MNT_DETACH);
    }
    LogFileTest::TearDown();
  }

  // A tmpfs over the test folder with the given options, as root only.
  bool MountTmpfs(const std::string &options) {
    if (mount("tmpfs", dir_.c_str(), "tmpfs", 0, options.c_str()) != 0) {
      return false;
    }
    mounted_ = true;
    return true;
  }

  // Rotation by size at 100,000 bytes keeping 3 old files, a fixed name,
  // and a clock the test moves.
  void RotatingName(const std::string &name) {
    FixedName(name);
    Dictionary_SetLong(params_, 100000, "log.rotateSize");
    Dictionary_SetLong(params_, 3, "log.keepOld");
    Dictionary_SetLong(params_, -1, "log.throttleBytesPerSec");
    fakeNowUs = 1000ull * 1000000;
    LogFileSetClock(FakeClock);
  }

  // Writes 999-byte lines until the file is due for rotation.
  static void FillPastRotation(LogFileOutput *out) {
    std::string chunk(999, 'a');
    while (out->bytesWritten <= 100000) {
      Log_Info("%s\n", chunk.c_str());
    }
  }

  size_t CountInFolder(const std::string &text) const {
    size_t count = 0;
    for (const char *name : {"r.log", "r-0.log", "r-1.log", "r-2.log"}) {
      std::string content = Read(Path(name));
      for (size_t at = content.find(text); at != std::string::npos;
           at = content.find(text, at + 1)) {
        count++;
      }
    }
    return count;
  }

  // The scenario both reopen faults share: rotation is due, the new file
  // cannot be opened while blockOpen's effect lasts, lines keep coming for
  // ten seconds of clock, then the new file can be opened again.
  void ReopenFailsAfterTheMove(const std::function<bool()> &blockOpen,
                               const std::function<void()> &unblockOpen) {
    Write(Path("r.log"), "previous run\n");
    RotatingName("r.log");
    int status = RunInChild([&] {
      LogFileOutput *out = CreateAndAdd();
      if (out == nullptr) {
        return 2;
      }
      FillPastRotation(out);
      if (!blockOpen()) {
        return 3;
      }
      for (int i = 0; i < 100; i++) {
        Log_Info("while the new file cannot be opened %d\n", i);
        fakeNowUs += 100000;
      }
      unblockOpen();
      fakeNowUs += 2000000;
      Log_Info("in the new file\n");
      Log_Info("second line of the new file\n");
      return 0;
    });
    ASSERT_EQ(status, 0) << "-1: the output spun";

    // Moved once, by one number: nothing was deleted and the lines written
    // while the new file was missing are in the file that was moved.
    EXPECT_EQ(Read(Path("r-1.log")), "previous run\n");
    auto old = Lines(Path("r-0.log"));
    ASSERT_FALSE(old.empty());
    EXPECT_EQ(old.front().rfind("In(05) Log for TestApp", 0), 0u);
    EXPECT_EQ(old.back(), "In(05) while the new file cannot be opened 99");
    EXPECT_FALSE(Exists(Path("r-2.log")));
    auto fresh = Lines(Path("r.log"));
    ASSERT_GE(fresh.size(), 7u);
    EXPECT_EQ(fresh[0].rfind("In(05) Log for TestApp", 0), 0u);
    EXPECT_NE(std::find(fresh.begin(), fresh.end(), "In(05) in the new file"), fresh.end());
    // Reported once, retried quietly about once a second, not per line.
    EXPECT_EQ(CountInFolder("Unable to open '" + Path("r.log") + "'"), 1u);
    EXPECT_EQ(CountInFolder("LogRotation: rotation of '" + Path("r.log") + "' failed"), 1u);
    EXPECT_LE(CountInFolder("Rotating to a new log file"), 3u);
  }

  bool mounted_ = false;
};

TEST_F(LogFileFault, NoDescriptorLeftForTheNewFile) {
  struct rlimit saved;
  ReopenFailsAfterTheMove(
      [&] {
        // The lowest free descriptor becomes the limit: no open succeeds.
        int probe = dup(0);
        if (probe < 0 || getrlimit(RLIMIT_NOFILE, &saved) != 0) {
          return false;
        }
        close(probe);
        struct rlimit tight = {static_cast<rlim_t>(probe), saved.rlim_max};
        return setrlimit(RLIMIT_NOFILE, &tight) == 0;
      },
      [&] { setrlimit(RLIMIT_NOFILE, &saved); });
}

TEST_F(LogFileFault, NoInodeLeftForTheNewFile) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "mounting a tmpfs needs root";
  }
  ASSERT_TRUE(MountTmpfs("size=4m,nr_inodes=16,mode=0700"));
  int fillers = 0;
  auto filler = [&](int n) { return Path("filler-" + std::to_string(n)); };
  ReopenFailsAfterTheMove(
      [&] {
        // Take every inode left.
        for (;;) {
          int fd = open(filler(fillers).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
          if (fd < 0) {
            return errno == ENOSPC && fillers > 0;
          }
          close(fd);
          fillers++;
        }
      },
      [&] { unlink(filler(0).c_str()); });
}

// A directory planted at the first old number makes every rename onto it
// fail, even for root.
TEST_F(LogFileFault, ARenameThatFailsNeverCostsTheFileItCouldNotMove) {
  Write(Path("r.log"), "previous run\n");
  ASSERT_EQ(mkdir(Path("r-0.log").c_str(), 0700), 0);
  Write(Path("r-0.log/keep"), "x");
  RotatingName("r.log");
  Dictionary_SetLong(params_, 1, "log.keepOld");
  int status = RunInChild([&] {
    LogFileOutput *out = CreateAndAdd();
    if (out == nullptr) {
      return 2;
    }
    FillPastRotation(out);
    for (int i = 0; i < 50; i++) {
      Log_Info("while the rename fails %d\n", i);
      fakeNowUs += 100000;
    }
    unlink(Path("r-0.log/keep").c_str());
    rmdir(Path("r-0.log").c_str());
    fakeNowUs += 2000000;
    Log_Info("in the new file\n");
    return 0;
  });
  ASSERT_EQ(status, 0) << "-1: the output spun";
  // The previous run's file was appended to at start, not emptied, and
  // kept every line until a rename worked.
  auto old = Lines(Path("r-0.log"));
  ASSERT_GT(old.size(), 100u);
  EXPECT_EQ(old[0], "previous run");
  EXPECT_EQ(old.back(), "In(05) while the rename fails 49");
  auto fresh = Lines(Path("r.log"));
  ASSERT_GE(fresh.size(), 7u);
  EXPECT_EQ(fresh[0].rfind("In(05) Log for TestApp", 0), 0u);
  EXPECT_NE(std::find(fresh.begin(), fresh.end(), "In(05) in the new file"), fresh.end());
  // Start and the first size rotation each report the failed rename once;
  // the retries in between are quiet.
  EXPECT_EQ(CountInFolder("rename of " + Path("r.log") + " -> " + Path("r-0.log") + " failed"),
            2u);
}

TEST_F(LogFileFault, FolderThatFillsUpAndEmptiesAgain) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "mounting a tmpfs needs root";
  }
  // Pages: 16 for the filler, 25 for each of two files of just over
  // 100,000 bytes; none for a third.
  ASSERT_TRUE(MountTmpfs("size=264k,nr_inodes=64,mode=0700"));
  RotatingName("r.log");
  const std::string filler = Path("filler");
  int status = RunInChild([&] {
    // The second file fills the folder just as it is due for rotation: the
    // third cannot even take its identification block.
    Write(filler, std::string(64 * 1024, 'f'));
    LogFileOutput *out = CreateAndAdd();
    if (out == nullptr) {
      return 2;
    }
    FillPastRotation(out);
    Log_Info("first line of the second file\n");
    std::string chunk(999, 'b');
    for (int i = 0; i < 400 && out->bytesDiscarded == 0; i++) {
      Log_Info("%s\n", chunk.c_str());
    }
    if (out->bytesDiscarded == 0) {
      return 3;  // the folder never filled
    }
    for (int i = 0; i < 50; i++) {
      Log_Info("lost while the folder is full %d\n", i);
      fakeNowUs += 100000;
    }
    unlink(filler.c_str());
    fakeNowUs += 2000000;
    Log_Info("after the folder emptied\n");
    return 0;
  });
  ASSERT_EQ(status, 0) << "-1: the output spun";

  // The first file, then the second cut where the folder filled, kept.
  auto first = Lines(Path("r-1.log"));
  ASSERT_FALSE(first.empty());
  EXPECT_EQ(first.back(), "In(05) " + std::string(999, 'a'));
  auto second = Lines(Path("r-0.log"));
  ASSERT_GE(second.size(), 7u);
  EXPECT_EQ(second[6], "In(05) first line of the second file");
  EXPECT_FALSE(Exists(Path("r-2.log")));
  // The new file reports what was lost on a line of its own.
  auto fresh = Lines(Path("r.log"));
  auto report = std::find_if(fresh.begin(), fresh.end(), [](const std::string &line) {
    return line.find(">>> Error writing log") != std::string::npos;
  });
  ASSERT_NE(report, fresh.end()) << Read(Path("r.log"));
  EXPECT_EQ(report->rfind("No(00) >>> Error writing log, ", 0), 0u) << *report;
  EXPECT_EQ(report->substr(report->size() - 28), " bytes discarded. Disk full?");
  ASSERT_NE(report + 1, fresh.end());
  EXPECT_EQ(*(report + 1), "In(05) after the folder emptied");
}

TEST_F(LogFileFault, DiskFullReportStartsOnALineOfItsOwn) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "mounting a tmpfs needs root";
  }
  ASSERT_TRUE(MountTmpfs("size=64k,nr_inodes=16,mode=0700"));
  FixedName("d.log");
  const std::string filler = Path("filler");
  int status = RunInChild([&] {
    Write(filler, std::string(16 * 1024, 'f'));
    LogFileOutput *out = CreateAndAdd();
    if (out == nullptr) {
      return 2;
    }
    // Lines that straddle page boundaries, so the full folder cuts one.
    std::string chunk(1500, 'c');
    for (int i = 0; i < 100 && out->bytesDiscarded == 0; i++) {
      Log_Info("%s\n", chunk.c_str());
    }
    std::string written = Read(Path("d.log"));
    if (written.empty() || written.back() == '\n') {
      return 3;  // the last write was not cut inside a line
    }
    unlink(filler.c_str());
    Log_Info("after the folder emptied\n");
    return 0;
  });
  ASSERT_EQ(status, 0);
  auto lines = Lines(Path("d.log"));
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[lines.size() - 2].rfind("No(00) >>> Error writing log, ", 0), 0u)
      << lines[lines.size() - 2];
  EXPECT_EQ(lines.back(), "In(05) after the folder emptied");
  // The cut line stays as it was cut, just before the report.
  const std::string &cut = lines[lines.size() - 3];
  EXPECT_EQ(cut.rfind("In(05) ccc", 0), 0u);
  EXPECT_LT(cut.size(), 7u + 1500);
}

}  // namespace
