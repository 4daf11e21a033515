// The log file output on real files: header block, prefixes, options,
// size rotation, throttling, discarded bytes and refused paths.
#include <algorithm>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/lib/log/log_file_fixture.h"
#include "tests/lib/log/stderr_capture.h"

namespace {

uint64_t fakeNowUs = 0;
uint64_t FakeClock() { return fakeNowUs; }

TEST_F(LogFileTest, FreshFileStartsWithTheIdentificationBlock) {
  FixedName("x.log");
  LogFileOutput *out = CreateAndAdd();
  ASSERT_NE(out, nullptr);
  Log_Info("after the header\n");
  auto lines = Lines(Path("x.log"));
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[0], "In(05) Log for TestApp pid=" + std::to_string(getpid()) +
                          " version=1.2.3 build=build-42 option=Release");
  EXPECT_EQ(lines[1], "In(05) The host is x86_64.");
  EXPECT_EQ(lines[2].rfind("In(05) Host codepage=", 0), 0u) << lines[2];
  EXPECT_NE(lines[2].find(" encoding="), std::string::npos);
  // Time stamps are off, so the creation time is its own line.
  EXPECT_EQ(lines[3].rfind("In(05) Log creation time is 20", 0), 0u) << lines[3];
  EXPECT_EQ(lines[3].back(), 'Z');
  EXPECT_EQ(lines[4], std::string("In(05) Host is ") + Log_HostDescription());
  EXPECT_EQ(lines[5], "In(05) Host offset from UTC is +00:00.");
  EXPECT_EQ(lines[6], "In(05) after the header");
  EXPECT_STREQ(Log_GetFileName(), Path("x.log").c_str());
}

TEST_F(LogFileTest, PrefixSwitchesAndContinuationLines) {
  Dictionary_SetString(params_, Path("p.log").c_str(), "log.fileName");
  Dictionary_SetLong(params_, 0, "log.keepOld");
  Dictionary_SetBool(params_, true, "log.useOpID");
  ASSERT_NE(CreateAndAdd(), nullptr);
  Log_Warning("one\ntwo\n");
  auto lines = Lines(Path("p.log"));
  ASSERT_EQ(lines.size(), 7u);  // five header lines, then two
  // "YYYY-MM-DDTHH:MM:SS.mmmZ Wa(03) <thread> - one"
  const std::string &first = lines[5];
  ASSERT_GE(first.size(), 25u);
  EXPECT_EQ(first[10], 'T');
  EXPECT_EQ(first[19], '.');
  EXPECT_EQ(first.substr(23, 2), "Z ");
  EXPECT_EQ(first.substr(25, 7), "Wa(03) ");
  EXPECT_EQ(first.substr(first.size() - 6), " - one");
  EXPECT_EQ(lines[6].substr(25, 8), "Wa(03)+ ");
  EXPECT_EQ(lines[6].substr(lines[6].size() - 6), " - two");
}

TEST_F(LogFileTest, EarlyMessagesLandInTheFileWithTheirMasking) {
  Log_Info("early ZOV line\n");
  FixedName("e.log");
  ASSERT_NE(CreateAndAdd(), nullptr);
  auto lines = Lines(Path("e.log"));
  ASSERT_GE(lines.size(), 7u);
  EXPECT_EQ(lines[6], "In(05) early *** line");
}

TEST_F(LogFileTest, OptionValuesAreCheckedAndReplaced) {
  FixedName("o.log");
  Dictionary_SetLong(params_, 5000, "log.rotateSize");
  Dictionary_SetLong(params_, -1, "log.keepOld");
  Dictionary_SetLong(params_, 0, "log.permissions");
  Dictionary_SetLong(params_, -5, "log.throttleThreshold");
  Dictionary_SetLong(params_, -2, "log.throttleBytesPerSec");
  Log_SetStderrLevel(0, kLogWarning);
  std::string err;
  LogFileOutput *out;
  {
    StderrCapture cap;
    out = Create();
    err = cap.Text();
  }
  ASSERT_NE(out, nullptr);
  EXPECT_NE(err.find("LogFileVariables: log.rotateSize (5000) is too small. Set to 100000.\n"),
            std::string::npos) << err;
  EXPECT_NE(err.find("LogFileInt32: log.keepOld (-1) is invalid. Set to 3.\n"), std::string::npos);
  EXPECT_NE(err.find("LogFileInt32: log.permissions (0) is invalid. Set to 416.\n"),
            std::string::npos);
  EXPECT_NE(err.find("LogFileInt32: log.throttleThreshold (-5) is invalid. Set to 1000000.\n"),
            std::string::npos);
  EXPECT_NE(err.find("LogFileInt32: log.throttleBytesPerSec (-2) is invalid. Set to 1000.\n"),
            std::string::npos);
  EXPECT_EQ(out->rotateSize, 100000);
  EXPECT_EQ(out->keepOld, 3);
  EXPECT_EQ(out->permissions, 0640);
  EXPECT_EQ(out->throttleThreshold, 1000000u);
  EXPECT_EQ(out->throttleLimit, 1000u);
  EXPECT_TRUE(Log_FreeOutput(&out->head));
}

TEST_F(LogFileTest, LookupOrderParametersProviderPrefix) {
  FixedName("l.log");
  Dictionary_SetBool(params_, true, "log.append");
  Dictionary_SetLong(params_, 7, "log.keepOld");
  Dictionary_SetString(params_, "warning", "log.fileLevel");
  MapProvider::Values() = {
      {"log.append", "FALSE"},       // equal to the default: does not override
      {"log.keepOld", "5"},          // differs: overrides the parameter
      {"app.log.keepOld", "4"},      // the application prefix wins
      {"log.throttleBytesPerSec", "0"},
      {"log.stderrLevel", "ERROR"},
      {"app.log.stderrLevel", "none"},
      {"log.fileLevel", "bogus"},    // not a level: the default
  };
  LogFileOutput *out = Create(MapProvider::Get(), "app");
  ASSERT_NE(out, nullptr);
  EXPECT_TRUE(out->append);
  EXPECT_EQ(out->keepOld, 4);
  EXPECT_EQ(out->throttleLimit, kLogFileNoThrottleLimit);
  EXPECT_EQ(out->head.stderrLevel, -1);
  EXPECT_EQ(out->head.fileLevel, kLogInfo);
  EXPECT_TRUE(Log_FreeOutput(&out->head));
  EXPECT_EQ(Log_NewFileOutput("", "file", params_, nullptr), nullptr);
  EXPECT_EQ(Log_NewFileOutput(nullptr, "", params_, nullptr), nullptr);
}

TEST_F(LogFileTest, AppendKeepsTheOldContent) {
  FixedName("a.log");
  Write(Path("a.log"), "old line\n");
  Dictionary_SetBool(params_, true, "log.append");
  ASSERT_NE(CreateAndAdd(), nullptr);
  Log_Info("new line\n");
  EXPECT_EQ(Lines(Path("a.log")), (std::vector<std::string>{"old line", "In(05) new line"}));
}

TEST_F(LogFileTest, ConfigKeyNamesThePreferenceThatChoosesTheFile) {
  Dictionary_SetString(params_, "sightwell.log.fileName", "log.config");
  Dictionary_SetString(params_, Path("ignored.log").c_str(), "log.fileName");
  setenv("LOGTEST_NAME", "chosen", 1);
  MapProvider::Values() = {{"sightwell.log.fileName", Path("$LOGTEST_NAME-$PID.log")}};
  LogFileOutput *out = Create(MapProvider::Get());
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(std::string(out->fileName), Path("chosen-" + std::to_string(getpid()) + ".log"));
  EXPECT_FALSE(out->nameGenerated);
  EXPECT_TRUE(Log_FreeOutput(&out->head));
}

TEST_F(LogFileTest, GeneratedNameInThePrivateTemporaryDirectory) {
  Dictionary_SetString(params_, "sightwell", "log.suffix");
  LogFileOutput *out = Create();
  ASSERT_NE(out, nullptr);
  EXPECT_TRUE(out->nameGenerated);
  std::string name(out->fileName);
  std::string want = "/paloven-sightwell-" + std::to_string(getpid()) + ".log";
  EXPECT_EQ(name.substr(name.size() - want.size()), want);
  EXPECT_EQ(name.rfind(dir_, 0), 0u);
  struct stat st;
  ASSERT_EQ(stat(out->logDir, &st), 0);
  EXPECT_EQ(st.st_uid, geteuid());
  EXPECT_EQ(st.st_mode & 022, 0u);  // nobody else can write there
  EXPECT_TRUE(Log_FreeOutput(&out->head));

  // The system area (a seam stands for /var/log/velmora).
  LogFileSetSystemLogDir(Path("var/log/velmora").c_str());
  Dictionary_Unset(params_, "log.suffix");
  Dictionary_SetBool(params_, true, "log.systemAreaTemp");
  out = Create();
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(std::string(out->fileName),
            Path("var/log/velmora/paloven-" + std::to_string(getpid()) + ".log"));
  EXPECT_TRUE(Log_FreeOutput(&out->head));
}

TEST_F(LogFileTest, SymbolicLinkAndDirectoryAreRefused) {
  Write(Path("target.log"), "precious\n");
  ASSERT_EQ(symlink(Path("target.log").c_str(), Path("link.log").c_str()), 0);
  ASSERT_EQ(symlink(Path("missing.log").c_str(), Path("dangling.log").c_str()), 0);
  ASSERT_EQ(mkdir(Path("dir.log").c_str(), 0700), 0);
  Log_SetStderrLevel(0, kLogWarning);
  for (const char *name : {"link.log", "dangling.log", "dir.log"}) {
    Dictionary_SetString(params_, Path(name).c_str(), "log.fileName");
    Dictionary_SetLong(params_, 0, "log.keepOld");
    LogFileOutput *out = Create();
    ASSERT_NE(out, nullptr);
    std::string err;
    {
      StderrCapture cap;
      EXPECT_FALSE(Log_AddOutput(&out->head)) << name;
      err = cap.Text();
    }
    EXPECT_TRUE(Log_FreeOutput(&out->head));
    if (std::string(name) == "dir.log") {
      EXPECT_NE(err.find("Rejecting '" + Path(name) + "' because it is not an acceptable type.\n"),
                std::string::npos) << err;
    } else {
      EXPECT_NE(err.find("Log file '" + Path(name) + "' is a symbolic link.\n"), std::string::npos)
          << err;
      EXPECT_NE(err.find("Open of '" + Path(name) + "' failed\n"), std::string::npos);
    }
  }
  EXPECT_EQ(Read(Path("target.log")), "precious\n");
  EXPECT_FALSE(Exists(Path("missing.log")));  // a dangling link's target is never created
}

TEST_F(LogFileTest, SizeRotationCascadesAndStartsAFreshFile) {
  FixedName("r.log");
  Dictionary_SetLong(params_, 100000, "log.rotateSize");
  Dictionary_SetLong(params_, 3, "log.keepOld");
  Dictionary_SetLong(params_, -1, "log.throttleBytesPerSec");
  Write(Path("r.log"), "previous run\n");
  LogFileOutput *out = CreateAndAdd();
  ASSERT_NE(out, nullptr);
  // Rotation at start moved the previous run's file to number 0.
  EXPECT_EQ(Read(Path("r-0.log")), "previous run\n");
  std::string chunk(999, 'a');
  int written = 0;
  while (out->bytesWritten <= 100000) {
    Log_Info("%s\n", chunk.c_str());
    written++;
  }
  Log_Info("first line of the new file\n");
  Log_Info("second line\n");
  auto fresh = Lines(Path("r.log"));
  ASSERT_EQ(fresh.size(), 9u);
  EXPECT_EQ(fresh[0].rfind("In(05) Log for TestApp", 0), 0u);
  EXPECT_EQ(fresh[6], "In(05) first line of the new file");
  // The rotation timing is queued and written after the triggering line.
  EXPECT_EQ(fresh[7].rfind("In(05) LogRotation: Rotating to a new log file (keepOld 3) took ", 0),
            0u) << fresh[7];
  EXPECT_EQ(fresh[8], "In(05) second line");
  EXPECT_EQ(Read(Path("r-1.log")), "previous run\n");
  auto old = Lines(Path("r-0.log"));
  ASSERT_GE(old.size(), 6u + written);
  EXPECT_EQ(old.back(), "In(05) " + chunk);
  EXPECT_FALSE(Exists(Path("r-2.log")));
}

TEST_F(LogFileTest, SizeRotationWithoutOldFilesTruncates) {
  FixedName("k.log");
  Dictionary_SetLong(params_, 100000, "log.rotateSize");
  Dictionary_SetLong(params_, 0, "log.keepOld");
  Dictionary_SetLong(params_, -1, "log.throttleBytesPerSec");
  LogFileOutput *out = CreateAndAdd();
  ASSERT_NE(out, nullptr);
  std::string chunk(999, 'b');
  while (out->bytesWritten <= 100000) {
    Log_Info("%s\n", chunk.c_str());
  }
  Log_Info("after rotation\n");
  // Header block and the one line: no stale bytes of the first fill.
  auto lines = Lines(Path("k.log"));
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[0].rfind("In(05) Log for TestApp", 0), 0u);
  EXPECT_EQ(lines[6], "In(05) after rotation");
  EXPECT_FALSE(Exists(Path("k-0.log")));
}

TEST_F(LogFileTest, ThrottlingWritesAMarkerAndLaterTheQueuedLines) {
  FixedName("t.log");
  Dictionary_SetLong(params_, 2000, "log.throttleThreshold");
  Dictionary_SetLong(params_, 100, "log.throttleBytesPerSec");
  fakeNowUs = 1000ull * 1000000;
  LogFileSetClock(FakeClock);
  LogFileOutput *out = CreateAndAdd();
  ASSERT_NE(out, nullptr);
  std::string chunk(499, 'c');
  // Past the threshold the first rate check measures the whole time since
  // the clock's origin: slow, not throttled.
  for (int i = 0; i < 5; i++) {
    Log_Info("%s\n", chunk.c_str());
  }
  EXPECT_FALSE(out->throttled);
  // 3000 bytes more, and 6 s later the check sees about 585 bytes per
  // second, over the limit.
  for (int i = 0; i < 6; i++) {
    Log_Info("%s\n", chunk.c_str());
  }
  EXPECT_FALSE(out->throttled);
  fakeNowUs += 6 * 1000000;
  Log_Info("burst one\n");
  EXPECT_TRUE(out->throttled);
  Log_Info("while throttled\nsecond line\n");
  fakeNowUs += 30 * 1000000;  // within the 60 s throttled interval
  Log_Info("still throttled\n");
  fakeNowUs += 61 * 1000000;
  Log_Info("quiet again\n");
  EXPECT_FALSE(out->throttled);
  auto lines = Lines(Path("t.log"));
  ASSERT_EQ(lines.size(), 6u + 11 + 1 + 5);
  EXPECT_EQ(lines[17], "No(00) <<< file Throttled >>>");
  EXPECT_EQ(lines[18], "In(05) burst one");
  EXPECT_EQ(lines[19], "In(05) while throttled");
  EXPECT_EQ(lines[20], "In(05)+ second line");
  EXPECT_EQ(lines[21], "In(05) still throttled");
  EXPECT_EQ(lines[22], "In(05) quiet again");
}

TEST_F(LogFileTest, NoLogAfterThresholdStopsForGood) {
  FixedName("n.log");
  Dictionary_SetLong(params_, 1000, "log.throttleThreshold");
  Dictionary_SetBool(params_, true, "log.noLogAfterThreshold");
  LogFileOutput *out = CreateAndAdd();
  ASSERT_NE(out, nullptr);
  for (int i = 0; i < 20; i++) {
    Log_Info("line %02d %s\n", i, std::string(80, 'n').c_str());
  }
  auto lines = Lines(Path("n.log"));
  ASSERT_GE(lines.size(), 7u);
  EXPECT_EQ(lines.back(), "No(00) <<< file Throttled >>>");
  EXPECT_LT(lines.size(), 6u + 20);
  // Turning throttling off lets lines through again.
  Log_DisableThrottling();
  Log_Info("after disable\n");
  EXPECT_EQ(Lines(Path("n.log")).back(), "In(05) after disable");
  EXPECT_FALSE(out->throttled);
}

TEST_F(LogFileTest, DiscardedBytesAreReportedBeforeTheNextLine) {
  FixedName("d.log");
  LogFileOutput *out = CreateAndAdd();
  ASSERT_NE(out, nullptr);
  int real = dup(out->fd);
  int full = open("/dev/full", O_WRONLY);
  ASSERT_GE(full, 0);
  ASSERT_GE(dup2(full, out->fd), 0);  // every write now fails with ENOSPC
  Log_Info("lost line\n");            // "In(05) lost line\n": 17 bytes
  Log_Info("lost too\n");             // 16 bytes
  ASSERT_GE(dup2(real, out->fd), 0);
  close(full);
  close(real);
  Log_Info("written again\n");
  auto lines = Lines(Path("d.log"));
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[6], "No(00) >>> Error writing log, 33 bytes discarded. Disk full?");
  EXPECT_EQ(lines[7], "In(05) written again");
  EXPECT_EQ(out->bytesDiscarded, 0u);
}

TEST_F(LogFileTest, ReplacementCopiesTheOldContent) {
  FixedName("old.log");
  LogFileOutput *oldOut = CreateAndAdd();
  ASSERT_NE(oldOut, nullptr);
  Log_Info("from the old file\n");
  Dictionary_SetString(params_, Path("new.log").c_str(), "log.fileName");
  LogFileOutput *newOut = Create();
  ASSERT_NE(newOut, nullptr);
  ASSERT_TRUE(Log_ReplaceOutput(&oldOut->head, &newOut->head, true));
  Log_Info("into the new file\n");
  EXPECT_FALSE(Exists(Path("old.log")));
  // The old header and line replace the new file's header; the new
  // output's own messages (its rotation timing) and the new line follow.
  auto lines = Lines(Path("new.log"));
  ASSERT_GE(lines.size(), 8u);
  EXPECT_EQ(lines[0].rfind("In(05) Log for TestApp", 0), 0u);
  EXPECT_EQ(lines[5].rfind("In(05) Host offset from UTC", 0), 0u);
  EXPECT_EQ(lines[6], "In(05) from the old file");
  EXPECT_EQ(lines.back(), "In(05) into the new file");
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string &l) { return l.find("Log for") != std::string::npos; }),
            1);
  EXPECT_STREQ(Log_GetFileName(), Path("new.log").c_str());
}

TEST_F(LogFileTest, ReplacementOnTheSameFileKeepsIt) {
  FixedName("same.log");
  Dictionary_SetBool(params_, true, "log.append");
  LogFileOutput *oldOut = CreateAndAdd();
  ASSERT_NE(oldOut, nullptr);
  Log_Info("kept\n");
  LogFileOutput *newOut = Create();
  ASSERT_NE(newOut, nullptr);
  ASSERT_TRUE(Log_ReplaceOutput(&oldOut->head, &newOut->head, true));
  Log_Info("still here\n");
  EXPECT_EQ(Lines(Path("same.log")), (std::vector<std::string>{"In(05) kept", "In(05) still here"}));
}

TEST_F(LogFileTest, InitWithFileLoadsTheModuleFilters) {
  FixedName("m.log");
  int capture = Log_ModuleNumber("capture");
  int input = Log_ModuleNumber("input");
  int sound = Log_ModuleNumber("soundlib");
  ASSERT_GT(capture, 0);
  Log_SetLogLevel(sound, kLogWarning);
  MapProvider::Values() = {
      {"log.filter.minLogLevel.capture", "debug"},
      {"app.log.filter.minLogLevel.capture", "VERBOSE"},  // the prefix wins
      {"log.filter.minStderrLevel.input", "bogus"},       // not a level: -1
      {"log.filter.minLogLevel.input", "error"},
      {"log.stderrLevel", "error"},
  };
  LogOutput *out = Log_InitWithFile("app", params_, MapProvider::Get(), false);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(Log_GetLogLevel(capture), kLogVerbose);
  EXPECT_EQ(Log_GetLogLevel(input), kLogError);
  EXPECT_EQ(Log_GetStderrLevel(input), -1);
  EXPECT_EQ(Log_GetLogLevel(sound), kLogWarning);  // no option: unchanged
  // Registration took the output's stderr threshold for the global record.
  EXPECT_EQ(Log_GetStderrLevel(0), kLogError);
  Log_Level(LogModuleLevel(capture, kLogVerbose), "capture verbose\n");
  Log_Level(kLogVerbose, "global verbose\n");
  EXPECT_EQ(Lines(Path("m.log")).back(), "In(06) capture verbose");
  for (int m : {capture, input, sound}) {
    Log_SetLogLevel(m, -1);
    Log_SetStderrLevel(m, -1);
  }
}

}  // namespace
