// File_Rotate on real files, and the purge of earlier processes' files.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/lib/log/log_file_fixture.h"

namespace {

using Rotation = LogFileTest;

TEST_F(Rotation, CascadeKeepsTheNewestOldFiles) {
  std::string x = Path("x.log");
  Write(x, "current");
  Write(Path("x-0.log"), "zero");
  Write(Path("x-1.log"), "one");
  Write(Path("x-2.log"), "two");
  File_Rotate(x.c_str(), 3, false);
  EXPECT_FALSE(Exists(x));
  EXPECT_EQ(Read(Path("x-0.log")), "current");
  EXPECT_EQ(Read(Path("x-1.log")), "zero");
  EXPECT_EQ(Read(Path("x-2.log")), "one");
  EXPECT_FALSE(Exists(Path("x-3.log")));
  // Gaps are no error.
  Write(x, "next");
  ASSERT_EQ(unlink(Path("x-1.log").c_str()), 0);
  File_Rotate(x.c_str(), 3, false);
  EXPECT_EQ(Read(Path("x-0.log")), "next");
  EXPECT_EQ(Read(Path("x-1.log")), "current");
  EXPECT_FALSE(Exists(Path("x-2.log")));
  // A name without an extension.
  Write(Path("plain"), "p");
  File_Rotate(Path("plain").c_str(), 1, false);
  EXPECT_EQ(Read(Path("plain-0")), "p");
  // A dot in a folder name is no extension, for both kinds of rotation.
  ASSERT_EQ(mkdir(Path("app.d").c_str(), 0700), 0);
  Write(Path("app.d/agent"), "a");
  File_Rotate(Path("app.d/agent").c_str(), 2, false);
  EXPECT_EQ(Read(Path("app.d/agent-0")), "a");
  Write(Path("app.d/agent"), "b");
  File_Rotate(Path("app.d/agent").c_str(), 2, true);
  EXPECT_EQ(Read(Path("app.d/agent-1")), "b");
}

TEST_F(Rotation, FastRenumberingTakesTheNextNumber) {
  std::string x = Path("x.log");
  Write(x, "current");
  Write(Path("x-3.log"), "three");
  Write(Path("x-7.log"), "seven");
  Write(Path("x-0.log"), "not numbered");  // numbers start with 1-9
  Write(Path("x-07.log"), "not numbered");
  Write(Path("x-9.log.bak"), "not numbered");
  File_Rotate(x.c_str(), 2, true);
  EXPECT_FALSE(Exists(x));
  EXPECT_FALSE(Exists(Path("x-3.log")));
  EXPECT_EQ(Read(Path("x-7.log")), "seven");
  EXPECT_EQ(Read(Path("x-8.log")), "current");
  EXPECT_TRUE(Exists(Path("x-0.log")));
  EXPECT_TRUE(Exists(Path("x-07.log")));
  EXPECT_TRUE(Exists(Path("x-9.log.bak")));
}

TEST_F(Rotation, FastRenumberingRestartsAtTheTop) {
  std::string x = Path("y.log");
  Write(x, "current");
  Write(Path("y-5.log"), "five");
  Write(Path("y-4294967295.log"), "last");
  File_Rotate(x.c_str(), 3, true);
  EXPECT_EQ(Read(Path("y-1.log")), "five");
  EXPECT_EQ(Read(Path("y-2.log")), "last");
  EXPECT_EQ(Read(Path("y-3.log")), "current");
  EXPECT_FALSE(Exists(Path("y-4294967295.log")));
}

// A pid that belonged to a process that has ended and been reaped.
pid_t DeadPid() {
  pid_t pid = fork();
  if (pid == 0) {
    _exit(0);
  }
  waitpid(pid, nullptr, 0);
  return pid;
}

void SetAge(const std::string &path, time_t secondsAgo) {
  struct timespec times[2];
  times[0].tv_sec = times[1].tv_sec = time(nullptr) - secondsAgo;
  times[0].tv_nsec = times[1].tv_nsec = 0;
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

TEST_F(Rotation, PurgeDeletesOnlyTheOldestFilesOfEndedProcesses) {
  Dictionary_SetString(params_, "sw", "log.suffix");
  Dictionary_SetLong(params_, 2, "log.keepOld");
  LogFileOutput *out = Create();
  ASSERT_NE(out, nullptr);
  std::string logDir = out->logDir;
  auto file = [&](pid_t pid) {
    return logDir + "/paloven-sw-" + std::to_string(pid) + ".log";
  };
  pid_t dead[4];
  for (int i = 0; i < 4; i++) {
    dead[i] = DeadPid();
    Write(file(dead[i]), "dead");
    SetAge(file(dead[i]), 1000 - i * 100);  // dead[0] is the oldest
  }
  // A living process's file, older than all of them, and our own.
  Write(file(1), "init lives");
  SetAge(file(1), 5000);
  Write(file(getpid()), "me");
  SetAge(file(getpid()), 6000);
  Write(logDir + "/paloven-other-" + std::to_string(dead[0]) + ".log", "another prefix");
  Write(logDir + "/paloven-sw-x.log", "no pid");

  EXPECT_TRUE(Log_PurgeOldFiles(&out->head, nullptr, nullptr));
  EXPECT_FALSE(Exists(file(dead[0])));
  EXPECT_FALSE(Exists(file(dead[1])));
  EXPECT_TRUE(Exists(file(dead[2])));
  EXPECT_TRUE(Exists(file(dead[3])));
  EXPECT_TRUE(Exists(file(1)));
  EXPECT_TRUE(Exists(file(getpid())));
  EXPECT_TRUE(Exists(logDir + "/paloven-other-" + std::to_string(dead[0]) + ".log"));
  // Nothing more to do.
  EXPECT_FALSE(Log_PurgeOldFiles(&out->head, nullptr, nullptr));
  EXPECT_TRUE(Log_FreeOutput(&out->head));
}

TEST_F(Rotation, PurgeIsOnlyForGeneratedNames) {
  FixedName("fixed.log");
  LogFileOutput *out = Create();
  ASSERT_NE(out, nullptr);
  EXPECT_FALSE(Log_PurgeOldFiles(&out->head, nullptr, nullptr));
  EXPECT_TRUE(Log_FreeOutput(&out->head));
}

}  // namespace
