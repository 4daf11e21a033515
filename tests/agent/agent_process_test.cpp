// The real agent binary against the reference parent on the real socket
// path: greetings, capture-start failures and the user switch, the stop and
// error exits, logout detection and the start-up exits.

#include <dirent.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/agent/agent_harness.h"

namespace {

using swagent::AgentRun;
using swparent::MakeRecord;

constexpr int kGreetMs = 5000;
constexpr int kReplyMs = 5000;
constexpr int kExitMs = 10000;

const char kCaptureStartFailed[] = "Failed to start capture event thread";
const char kNoBus[] = "unix:path=/nonexistent/sightwell-test-bus";

void ExpectCaptureError(AgentRun &run, int32_t code) {
  auto error = run.parent().WaitControlRecord(REMOTE_ERROR, kReplyMs);
  ASSERT_TRUE(error.has_value()) << "no REMOTE_ERROR for status " << code;
  EXPECT_STREQ(error->errorText, kCaptureStartFailed);
  EXPECT_EQ(error->errorCode, code);
  EXPECT_EQ(run.parent().CountControlRecords(REMOTE_CAPTURE_START), 0u);  // no echo
}

void ExpectEcho(AgentRun &run, const char *connector) {
  auto echo = run.parent().WaitControlRecord(REMOTE_CAPTURE_START, kReplyMs);
  ASSERT_TRUE(echo.has_value()) << run.Log();
  EXPECT_EQ(echo->status, static_cast<uint32_t>(CHANNEL_STATUS_SUCCESS));
  EXPECT_STREQ(echo->connector, connector);
}

std::string UidFile(const std::string &card) {
  return std::string(SIGHTWELL_ENV_DIR) + "/uid." + card;
}

TEST(AgentGreeting, UserSessionGreetsOnBothSocketsAndStopsCleanlyBeforeCapture) {
  AgentRun run;
  ASSERT_TRUE(run.Start());
  ASSERT_EQ(run.WaitGreeting(kGreetMs), static_cast<uint32_t>(REMOTE_INFO_USER));
  ASSERT_TRUE(run.parent().WaitForAudio(kGreetMs));
  ASSERT_TRUE(run.parent().SendStop());
  EXPECT_EQ(run.Wait(kExitMs), 0);
  std::string log = run.Log();
  EXPECT_NE(log.find("SightwellRemote: Audio socket connected to parent"), std::string::npos);
  EXPECT_NE(log.find("SightwellRemote: REMOTE_STOP processed, exiting remote routine cleanly"),
            std::string::npos);
  // The agent's exit closes the socket, but the parent's reader thread sees
  // the end of stream on its own schedule, possibly after the exit status.
  EXPECT_TRUE(swtest::WaitFor([&] { return run.parent().ControlClosedByAgent(); }, kReplyMs));
}

TEST(AgentGreeting, GreeterWorkflowDefersTheAudioSocketToTheFirstCaptureStart) {
  // Run unprivileged so that the user switch (after the deferred socket is
  // opened) fails.
  swagent::TestUser user("swt" + std::to_string(getpid() % 100000));
  ASSERT_TRUE(user.ok());
  AgentRun run;
  run.RunAs(user.uid(), user.gid());
  ASSERT_TRUE(run.Start({{"REMOTE_SESSION_WORKFLOW", "GREETER-login"}}));
  ASSERT_EQ(run.WaitGreeting(kGreetMs), static_cast<uint32_t>(REMOTE_INFO_GREETER));
  EXPECT_FALSE(run.parent().WaitForAudio(300));

  // The capture start fails at the user switch, but the audio socket it
  // opened stays and is served: an unexpected command on it is read.
  ASSERT_TRUE(run.parent().WriteSessionFiles(kNoBus, "/tmp", 0));
  ASSERT_TRUE(run.parent().SendCaptureStart("Meta-0"));
  ExpectCaptureError(run, CHANNEL_STATUS_FAILED);
  ASSERT_TRUE(run.parent().WaitForAudio(kReplyMs)) << run.Log();
  EXPECT_TRUE(run.WaitLog("SightwellRemote: Audio socket connected to parent (deferred)", kReplyMs));
  EXPECT_TRUE(run.WaitLog("SightwellRemote: Failed to set effective UID to 0", kReplyMs));
  ASSERT_TRUE(run.parent().SendAudioSocket(MakeRecord(99)));
  EXPECT_TRUE(run.WaitLog("SightwellRemote: Unexpected command 99 on audioFd", kReplyMs)) << run.Log();

  ASSERT_TRUE(run.parent().SendStop());
  EXPECT_EQ(run.Wait(kExitMs), 0);

  // Six characters are not "greeter".
  AgentRun user6;
  ASSERT_TRUE(user6.Start({{"REMOTE_SESSION_WORKFLOW", "greete"}}));
  EXPECT_EQ(user6.WaitGreeting(kGreetMs), static_cast<uint32_t>(REMOTE_INFO_USER));
  ASSERT_TRUE(user6.parent().SendStop());
  EXPECT_EQ(user6.Wait(kExitMs), 0);
}

TEST(AgentCaptureStart, BadSessionFilesAreRefusedWithTheirStatusAndTheAgentKeepsServing) {
  AgentRun run;
  ASSERT_TRUE(run.Start());
  ASSERT_EQ(run.WaitGreeting(kGreetMs), static_cast<uint32_t>(REMOTE_INFO_USER));
  swparent::Parent &parent = run.parent();
  const std::string card = run.card();
  const std::string dbusPath = std::string(SIGHTWELL_ENV_DIR) + "/dbus_address." + card;
  const std::string xdgPath = std::string(SIGHTWELL_ENV_DIR) + "/xdg_runtime." + card;

  parent.RemoveSessionFiles();
  ASSERT_TRUE(parent.SendCaptureStart("Meta-0"));
  ExpectCaptureError(run, CHANNEL_STATUS_DBUS_ADDRESS);
  EXPECT_TRUE(run.WaitLog("SightwellRemote: Failed to open DBus address file: " + dbusPath, 2000));
  EXPECT_TRUE(run.WaitLog("SightwellRemote: Failed to get DBus address for capture start", 2000));

  ASSERT_TRUE(parent.WriteSessionFileRaw(SIGHTWELL_DBUS_ADDRESS_FORMAT, ""));
  ASSERT_TRUE(parent.SendCaptureStart("Meta-0"));
  ExpectCaptureError(run, CHANNEL_STATUS_DBUS_ADDRESS);
  EXPECT_TRUE(run.WaitLog("SightwellRemote: Failed to read DBus address from file: " + dbusPath, 2000));

  ASSERT_TRUE(parent.WriteSessionFileRaw(SIGHTWELL_DBUS_ADDRESS_FORMAT, std::string(kNoBus) + "\n"));
  ASSERT_TRUE(parent.SendCaptureStart("Meta-0"));
  ExpectCaptureError(run, CHANNEL_STATUS_XDG_RUNTIME);
  EXPECT_TRUE(run.WaitLog("SightwellRemote: Failed to open XDG runtime dir file: " + xdgPath, 2000));
  EXPECT_TRUE(run.WaitLog("SightwellRemote: Failed to get XDG runtime dir for capture start", 2000));

  ASSERT_TRUE(parent.WriteSessionFileRaw(SIGHTWELL_XDG_RUNTIME_FORMAT, "/tmp\n"));
  ASSERT_TRUE(parent.SendCaptureStart("Meta-0"));
  ExpectCaptureError(run, CHANNEL_STATUS_UID);
  EXPECT_TRUE(run.WaitLog("SightwellRemote: Failed to open UID file: " + UidFile(card), 2000));

  struct BadUid {
    const char *contents;
    std::string warning;
  };
  const BadUid bad[] = {
      {"", "SightwellRemote: Failed to read UID from file: " + UidFile(card)},
      {"12x\n", "SightwellRemote: Invalid UID value in file: " + UidFile(card) + " (contents: 12x)"},
      {"\n", "SightwellRemote: Invalid UID value in file: " + UidFile(card) + " (contents: )"},
      {"-1\n", "SightwellRemote: UID value out of range in file: " + UidFile(card)},
      {"4294967296\n", "SightwellRemote: UID value out of range in file: " + UidFile(card)},
  };
  for (const BadUid &b : bad) {
    size_t before = run.CountLog(b.warning);
    ASSERT_TRUE(parent.WriteSessionFileRaw(SIGHTWELL_UID_FORMAT, b.contents));
    ASSERT_TRUE(parent.SendCaptureStart("Meta-0"));
    ExpectCaptureError(run, CHANNEL_STATUS_UID);
    EXPECT_TRUE(swtest::WaitFor([&] { return run.CountLog(b.warning) > before; }, 2000))
        << "uid file \"" << b.contents << "\"";
  }
  EXPECT_GE(run.CountLog("SightwellRemote: Failed to get UID for capture start"), 6u);

  // Still serving after every refusal.
  EXPECT_TRUE(parent.HasControl());
  ASSERT_TRUE(parent.SendStop());
  EXPECT_EQ(run.Wait(kExitMs), 0);
}

TEST(AgentCaptureStart, SwitchesToTheSessionUserAndRefusesASecondStart) {
  swagent::TestUser user("swt" + std::to_string(getpid() % 100000));
  ASSERT_TRUE(user.ok());
  AgentRun run;
  ASSERT_TRUE(run.Start());
  ASSERT_EQ(run.WaitGreeting(kGreetMs), static_cast<uint32_t>(REMOTE_INFO_USER));
  ASSERT_TRUE(run.parent().WriteSessionFiles(kNoBus, "/tmp", user.uid()));
  ASSERT_TRUE(run.parent().SendCaptureStart("HDMI-A-1"));
  ExpectEcho(run, "HDMI-A-1");

  // The main thread switched, and the capture threads started after the
  // switch run under the session user (the bus wait keeps them alive).
  pid_t pid = run.process().pid();
  ASSERT_TRUE(swtest::WaitFor(
      [&] {
        auto uids = swagent::ThreadUids(pid);
        return uids.count("sightwell-captu") == 1 && uids.count("sightwell-sessi") == 1;
      },
      2000));
  for (const auto &[name, uid] : swagent::ThreadUids(pid)) {
    if (name == "sightwell" || name == "sightwell-captu" || name == "sightwell-sessi") {
      EXPECT_EQ(uid, user.uid()) << name;
    }
  }

  ASSERT_TRUE(run.parent().SendCaptureStart("HDMI-A-1"));
  ExpectCaptureError(run, CHANNEL_STATUS_FAILED);

  // REMOTE_STOP during the session-bus wait.
  ASSERT_TRUE(run.parent().SendStop());
  EXPECT_EQ(run.Wait(kExitMs), 0);
  std::string log = run.Log();
  EXPECT_NE(log.find("SightwellRemote: Stop signal received while waiting for DBus, exiting"),
            std::string::npos);
  EXPECT_NE(log.find("SightwellRemote: Capture event thread exiting"), std::string::npos);
  EXPECT_EQ(log.find("Started libEI input event thread"), std::string::npos);
}

TEST(AgentCaptureStart, SessionFilesThatAreNotTheParentsOwnAreRefusedWithoutBlocking) {
  AgentRun run;
  ASSERT_TRUE(run.Start());
  ASSERT_EQ(run.WaitGreeting(kGreetMs), static_cast<uint32_t>(REMOTE_INFO_USER));
  swparent::Parent &parent = run.parent();
  const std::string uidPath = UidFile(run.card());
  ASSERT_TRUE(parent.WriteSessionFiles(kNoBus, "/tmp", 0));
  auto refusedWith = [&](const std::string &reason) {
    size_t before = run.CountLog("SightwellRemote: Refusing session file " + uidPath + ": " + reason);
    EXPECT_TRUE(parent.SendCaptureStart("Meta-0"));
    ExpectCaptureError(run, CHANNEL_STATUS_UID);
    EXPECT_TRUE(swtest::WaitFor(
        [&] {
          return run.CountLog("SightwellRemote: Refusing session file " + uidPath + ": " + reason) >
                 before;
        },
        kReplyMs))
        << reason << "\n" << run.Log();
  };

  // A link to a file only root may read: never followed, nothing of it logged.
  std::string secretDir = swtest::MakeTempDir("swsecret");
  std::string secret = secretDir + "/shadow";
  ASSERT_TRUE(swtest::WriteFile(secret, "root:SECRET-HASH-LINE:19000:0:99999:7:::\n"));
  chmod(secret.c_str(), 0600);
  unlink(uidPath.c_str());
  ASSERT_EQ(symlink(secret.c_str(), uidPath.c_str()), 0);
  refusedWith("it is a symbolic link");
  EXPECT_EQ(run.Log().find("SECRET"), std::string::npos);

  // A FIFO nobody writes to must not block the agent in its open.
  unlink(uidPath.c_str());
  ASSERT_EQ(mkfifo(uidPath.c_str(), 0600), 0);
  refusedWith("it is not a regular file");

  // A file some other user wrote.
  unlink(uidPath.c_str());
  ASSERT_TRUE(swtest::WriteFile(uidPath, "0\n"));
  ASSERT_EQ(chown(uidPath.c_str(), 54321, 54321), 0);
  refusedWith("it is owned by uid 54321, not by root or uid 0");

  // Only a short printable part of a file that is no number reaches the log.
  unlink(uidPath.c_str());
  ASSERT_TRUE(parent.WriteSessionFileRaw(SIGHTWELL_UID_FORMAT,
                                         std::string(40, '7') + "\x01" + std::string(200, 'x') + "\n"));
  ASSERT_TRUE(parent.SendCaptureStart("Meta-0"));
  ExpectCaptureError(run, CHANNEL_STATUS_UID);
  EXPECT_TRUE(run.WaitLog("SightwellRemote: Invalid UID value in file: " + uidPath + " (contents: " +
                              std::string(32, '7') + "...)",
                          kReplyMs))
      << run.Log();
  EXPECT_EQ(run.Log().find("xxxx"), std::string::npos);

  // Still serving.
  ASSERT_TRUE(parent.SendStop());
  EXPECT_EQ(run.Wait(kExitMs), 0);
  unlink(uidPath.c_str());
  unlink(secret.c_str());
  rmdir(secretDir.c_str());
}

TEST(AgentCaptureStart, BlankSessionFilesAndAnEmptyConnectorAreRefusedBeforeAnythingStarts) {
  AgentRun run;
  ASSERT_TRUE(run.Start());
  ASSERT_EQ(run.WaitGreeting(kGreetMs), static_cast<uint32_t>(REMOTE_INFO_USER));
  swparent::Parent &parent = run.parent();
  const std::string card = run.card();
  ASSERT_TRUE(parent.WriteSessionFiles(kNoBus, "/tmp", 0));

  // White space alone is no address and no folder: "could not read".
  ASSERT_TRUE(parent.WriteSessionFileRaw(SIGHTWELL_DBUS_ADDRESS_FORMAT, " \t \n"));
  ASSERT_TRUE(parent.SendCaptureStart("Meta-0"));
  ExpectCaptureError(run, CHANNEL_STATUS_DBUS_ADDRESS);
  EXPECT_TRUE(run.WaitLog("SightwellRemote: Failed to read DBus address from file: " +
                              std::string(SIGHTWELL_ENV_DIR) + "/dbus_address." + card,
                          kReplyMs));
  ASSERT_TRUE(parent.WriteSessionFileRaw(SIGHTWELL_DBUS_ADDRESS_FORMAT, std::string(kNoBus) + "\n"));
  ASSERT_TRUE(parent.WriteSessionFileRaw(SIGHTWELL_XDG_RUNTIME_FORMAT, "\n"));
  ASSERT_TRUE(parent.SendCaptureStart("Meta-0"));
  ExpectCaptureError(run, CHANNEL_STATUS_XDG_RUNTIME);
  EXPECT_TRUE(run.WaitLog("SightwellRemote: Failed to read XDG runtime dir from file: " +
                              std::string(SIGHTWELL_ENV_DIR) + "/xdg_runtime." + card,
                          kReplyMs));

  // No connector: refused before any thread starts.
  ASSERT_TRUE(parent.WriteSessionFileRaw(SIGHTWELL_XDG_RUNTIME_FORMAT, "/tmp\n"));
  ASSERT_TRUE(parent.SendCaptureStart(""));
  ExpectCaptureError(run, CHANNEL_STATUS_FAILED);
  EXPECT_TRUE(run.WaitLog("SightwellRemote: Capture start names no connector, refusing it", kReplyMs));
  EXPECT_EQ(run.Log().find("SightwellRemote: Capture event thread"), std::string::npos);

  // Root's own session is accepted, with a warning that nothing is dropped.
  ASSERT_TRUE(parent.SendCaptureStart("Meta-0"));
  ExpectEcho(run, "Meta-0");
  EXPECT_TRUE(run.WaitLog("SightwellRemote: Capture start for UID 0: capturing root's own session as root",
                          kReplyMs));
  ASSERT_TRUE(parent.SendStop());
  EXPECT_EQ(run.Wait(kExitMs), 0);
}

TEST(AgentPreferences, RootIgnoresPerUserPreferenceFilesOthersCanWrite) {
  swagent::TestUser user("swt" + std::to_string(getpid() % 100000));
  ASSERT_TRUE(user.ok());
  struct Case {
    const char *what;
    bool userOwned;
    mode_t mode;
  };
  for (const Case &c : {Case{"owned by the user", true, 0644}, Case{"world-writable", false, 0666}}) {
    AgentRun run;
    // The harness's own config (the log name) is root's; the preferences
    // layer above it tries to move the log and load another library.
    std::string prefs = run.home() + "/.velmora/preferences";
    std::string hijackLog = run.home() + "/hijack.log";
    ASSERT_TRUE(swtest::WriteFile(prefs, "sightwell.log.fileName = \"" + hijackLog +
                                             "\"\nsightwell.libPipewire = \"/nonexistent/hijack.so\"\n"));
    ASSERT_EQ(chmod(prefs.c_str(), c.mode), 0);
    if (c.userOwned) {
      ASSERT_EQ(chown(prefs.c_str(), user.uid(), user.gid()), 0);
    }

    ASSERT_TRUE(run.Start());
    ASSERT_EQ(run.WaitGreeting(kGreetMs), static_cast<uint32_t>(REMOTE_INFO_USER)) << c.what;
    EXPECT_TRUE(run.WaitLog("PREF Ignoring per-user preferences file " + prefs, kReplyMs))
        << c.what << "\n" << run.Log();
    EXPECT_EQ(run.Log().find("hijack.so"), std::string::npos) << c.what;
    EXPECT_NE(access(hijackLog.c_str(), F_OK), 0) << c.what;
    ASSERT_TRUE(run.parent().SendStop());
    EXPECT_EQ(run.Wait(kExitMs), 0) << c.what;
  }
}

TEST(AgentStartup, SquattedPrivateTempFolderNamesDoNotKeepTheAgentFromStarting) {
  // Another local user has taken the predictable names (in a private base
  // folder standing in for /tmp, so other tests keep theirs).
  std::string base = swtest::MakeTempDir("swsquat");
  ASSERT_FALSE(base.empty());
  chmod(base.c_str(), 01777);
  std::vector<std::string> squatted = {base + "/velmora-root"};
  for (int i = 1; i <= 16; i++) squatted.push_back(base + "/velmora-root-" + std::to_string(i));
  for (const std::string &path : squatted) {
    ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    ASSERT_EQ(chown(path.c_str(), 54321, 54321), 0);
  }

  AgentRun run;
  ASSERT_TRUE(run.Start({{"TMPDIR", base}}));
  ASSERT_EQ(run.WaitGreeting(kGreetMs), static_cast<uint32_t>(REMOTE_INFO_USER))
      << run.process().Stderr();
  ASSERT_TRUE(run.parent().SendStop());
  EXPECT_EQ(run.Wait(kExitMs), 0);

  // The agent made one folder of its own, private, under a new name.
  std::vector<std::string> own;
  DIR *dir = opendir(base.c_str());
  ASSERT_NE(dir, nullptr);
  while (struct dirent *entry = readdir(dir)) {
    std::string path = base + "/" + entry->d_name;
    struct stat st;
    if (entry->d_name[0] == '.' || lstat(path.c_str(), &st) != 0 || st.st_uid != 0) continue;
    own.push_back(path);
    EXPECT_TRUE(S_ISDIR(st.st_mode)) << path;
    EXPECT_EQ(st.st_mode & 07777, 0700u) << path;
  }
  closedir(dir);
  ASSERT_EQ(own.size(), 1u);
  EXPECT_EQ(own[0].rfind(base + "/velmora-root-", 0), 0u) << own[0];
  EXPECT_EQ(std::find(squatted.begin(), squatted.end(), own[0]), squatted.end()) << own[0];
  EXPECT_EQ(system(("rm -rf '" + base + "'").c_str()), 0);
}

// With "log.rotateSize" and the default folder (root's private temporary
// folder), the first size rotation after the switch to the session user
// cannot rename anything there. It is reported once; the agent keeps
// serving the parent and stops cleanly, and its one file stays.
TEST(AgentCaptureStart, LogRotationTheSessionUserCannotDoIsReportedOnceNotLooped) {
  swagent::TestUser user("swt" + std::to_string(getpid() % 100000));
  ASSERT_TRUE(user.ok());
  constexpr size_t kRotateSize = 100000;
  const std::string rotate = "log.rotateSize = \"100000\"\n";
  // What the agent logs up to its greeting, so that padding preferences
  // (dumped into the log at start) can bring the file within a few lines
  // of the rotation size when the capture starts.
  size_t startup;
  {
    AgentRun probe;
    probe.UseDefaultLogFolder(rotate);
    ASSERT_TRUE(probe.Start());
    ASSERT_EQ(probe.WaitGreeting(kGreetMs), static_cast<uint32_t>(REMOTE_INFO_USER));
    startup = probe.Log().size();
    ASSERT_TRUE(probe.parent().SendStop());
    EXPECT_EQ(probe.Wait(kExitMs), 0);
  }
  ASSERT_GT(startup, 0u);
  ASSERT_LT(startup + 4000, kRotateSize);
  std::string preferences = rotate;
  // About 100 bytes of prefix and name come with each padding line.
  for (size_t i = 0, left = kRotateSize - startup - 1500; left > 300; i++) {
    size_t n = std::min<size_t>(left - 100, 30000);
    preferences += "test.padding" + std::to_string(i) + " = \"" + std::string(n, 'p') + "\"\n";
    left -= n + 100;
  }

  AgentRun run;
  run.UseDefaultLogFolder(preferences);
  ASSERT_TRUE(run.Start());
  ASSERT_EQ(run.WaitGreeting(kGreetMs), static_cast<uint32_t>(REMOTE_INFO_USER));
  size_t atGreeting = run.Log().size();
  ASSERT_LT(atGreeting + 500, kRotateSize);
  ASSERT_GT(atGreeting + 4000, kRotateSize);
  ASSERT_TRUE(run.parent().WriteSessionFiles(kNoBus, "/tmp", user.uid()));
  ASSERT_TRUE(run.parent().SendCaptureStart("HDMI-A-1"));
  ExpectEcho(run, "HDMI-A-1");

  // Every refused second start logs a line as the session user; a few
  // dozen take the file past the rotation size (well within the 3 s the
  // agent waits for the unreachable bus).
  const std::string cannot = "LogRotation: cannot rotate '" + run.logPath() + "' as uid " +
                             std::to_string(user.uid()) + ": Permission denied";
  int afterReport = 0;
  for (int i = 0; i < 200 && afterReport < 5; i++) {
    ASSERT_TRUE(run.parent().SendCaptureStart("HDMI-A-1"));
    ASSERT_TRUE(run.parent().WaitControlRecord(REMOTE_ERROR, kReplyMs).has_value())
        << "the agent stopped serving after " << i << " refused starts";
    if (run.CountLog(cannot) > 0) afterReport++;
  }
  ASSERT_EQ(afterReport, 5) << run.Log().substr(kRotateSize - 2000);

  ASSERT_TRUE(run.parent().SendStop());
  EXPECT_EQ(run.Wait(kExitMs), 0);
  std::string log = run.Log();
  EXPECT_EQ(run.CountLog(cannot), 1u);
  EXPECT_EQ(run.CountLog("Rotating to a new log file"), 0u);
  EXPECT_GT(log.size(), kRotateSize);
  EXPECT_NE(log.find("SightwellRemote: Stop signal received while waiting for DBus, exiting"),
            std::string::npos);
  std::string numbered = run.logPath();
  numbered.insert(numbered.size() - 4, "-0");
  EXPECT_NE(access(numbered.c_str(), F_OK), 0);
}

TEST(AgentCaptureStart, UnreachableSessionBusTimesOutAfterThreeSeconds) {
  AgentRun run;
  ASSERT_TRUE(run.Start());
  ASSERT_EQ(run.WaitGreeting(kGreetMs), static_cast<uint32_t>(REMOTE_INFO_USER));
  ASSERT_TRUE(run.parent().WriteSessionFiles(kNoBus, "/tmp", getuid()));
  ASSERT_TRUE(run.parent().SendCaptureStart("Meta-0"));
  ExpectEcho(run, "Meta-0");
  auto echoed = std::chrono::steady_clock::now();
  EXPECT_EQ(run.Wait(kExitMs), 1);
  auto elapsed = std::chrono::steady_clock::now() - echoed;
  EXPECT_GE(elapsed, std::chrono::milliseconds(2900));
  EXPECT_LT(elapsed, std::chrono::milliseconds(6000));

  std::string log = run.Log();
  for (const char *text : {
           "Sightwell: Failed to connect to session DBus: ",
           "Session thread: DBus connection failed; retrying in 1 second",
           "SightwellRemote: Still waiting for DBus connection... (10/30 ticks)",
           "SightwellRemote: Still waiting for DBus connection... (30/30 ticks)",
           "SightwellRemote: Timeout waiting for DBus connection after 3 seconds, aborting",
           "SightwellRemote: Remote routine received stop signal due to error, exiting with error code",
           "SightwellMain: Failed to start Wayland remote routine",
       }) {
    EXPECT_NE(log.find(text), std::string::npos) << text;
  }
  // A stop that is not a REMOTE_STOP reply sends no error record.
  EXPECT_EQ(run.parent().CountControlRecords(REMOTE_ERROR), 0u);
}

TEST(AgentProtocol, UnknownCommandEndsTheAgentWithAnError) {
  AgentRun run;
  ASSERT_TRUE(run.Start());
  ASSERT_EQ(run.WaitGreeting(kGreetMs), static_cast<uint32_t>(REMOTE_INFO_USER));
  ASSERT_TRUE(run.parent().Send(MakeRecord(42)));
  auto error = run.parent().WaitControlRecord(REMOTE_ERROR, kReplyMs);
  ASSERT_TRUE(error.has_value());
  EXPECT_STREQ(error->errorText, "An unrecoverable error occurred in remote routine");
  EXPECT_EQ(error->errorCode, -1);
  EXPECT_EQ(run.Wait(kExitMs), 1);
  EXPECT_NE(run.Log().find("SightwellRemote: Received unknown command from parent process: 42"),
            std::string::npos);
}

TEST(AgentProtocol, ParentClosingTheControlSocketEndsTheAgent) {
  AgentRun run;
  ASSERT_TRUE(run.Start());
  ASSERT_EQ(run.WaitGreeting(kGreetMs), static_cast<uint32_t>(REMOTE_INFO_USER));
  run.parent().CloseControl();
  EXPECT_EQ(run.Wait(kExitMs), 1);
  EXPECT_NE(run.Log().find("SightwellRemote: Failed to receive message from parent process (parent died?)"),
            std::string::npos);
}

TEST(AgentLifecycle, SigtermFromAnotherProcessExitsAtOnceWithoutALogLine) {
  AgentRun run;
  ASSERT_TRUE(run.Start());
  ASSERT_EQ(run.WaitGreeting(kGreetMs), static_cast<uint32_t>(REMOTE_INFO_USER));
  run.process().Signal(SIGTERM);
  EXPECT_EQ(run.Wait(kExitMs), 0);
  EXPECT_EQ(run.Log().find("SIGTERM"), std::string::npos);
  EXPECT_EQ(run.parent().CountControlRecords(REMOTE_ERROR), 0u);
}

TEST(AgentLifecycle, FatalSignalIsLoggedWithABacktraceAndEndsTheProcessByIt) {
  AgentRun run;
  ASSERT_TRUE(run.Start());
  ASSERT_EQ(run.WaitGreeting(kGreetMs), static_cast<uint32_t>(REMOTE_INFO_USER));
  run.process().Signal(SIGSEGV);
  EXPECT_EQ(run.Wait(kExitMs), 128 + SIGSEGV);
  std::string log = run.Log();
  EXPECT_NE(log.find("SightwellMain: Received fatal signal 11, dumping backtrace."), std::string::npos);
  EXPECT_NE(log.find("Backtrace"), std::string::npos);
}

TEST(AgentLifecycle, SevenCharacterCardNamePanicsBeforeAnySocket) {
  AgentRun run("abcdefg");
  ASSERT_TRUE(run.Start());
  EXPECT_EQ(run.Wait(kExitMs), 255);
  EXPECT_EQ(run.parent().WaitForControl(200), 0u);
  EXPECT_NE(run.process().Stderr().find("lib/string/str:"), std::string::npos) << run.process().Stderr();
  EXPECT_NE(run.process().Stderr().find(" Buffer too small"), std::string::npos);
}

TEST(AgentLifecycle, MissingParentSocketGivesUpAfterTenAttempts) {
  AgentRun run("", /*listen=*/false);
  auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(run.Start());
  EXPECT_EQ(run.Wait(kExitMs), 1);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
  std::string log = run.Log();
  EXPECT_NE(log.find("SightwellRemote: Failed to connect to socket: No such file or directory"),
            std::string::npos);
  EXPECT_NE(log.find("SightwellMain: Failed to start Wayland remote routine"), std::string::npos);
}

// With the session bus of the private services.
class AgentSessionBus : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(services_.ok()) << services_.error(); }
  // Starts the agent with the services' runtime folder inherited, as a
  // parent in the session would, and starts audio on it.
  void StartWithAudio(AgentRun &run) {
    ASSERT_TRUE(run.Start({{"XDG_RUNTIME_DIR", services_.Get("XDG_RUNTIME_DIR")}}));
    ASSERT_EQ(run.WaitGreeting(kGreetMs), static_cast<uint32_t>(REMOTE_INFO_USER));
    ASSERT_TRUE(run.parent().WaitForAudio(kGreetMs));
    ASSERT_TRUE(run.parent().SendAudioStart());
    auto reply = run.parent().WaitAudioRecord(REMOTE_AUDIO_START, 10000);
    ASSERT_TRUE(reply.has_value()) << run.Log();
    ASSERT_EQ(reply->status, static_cast<uint32_t>(CHANNEL_STATUS_SUCCESS)) << run.Log();
  }
  swtest::TestServices services_;
};

TEST_F(AgentSessionBus, CaptureWithALiveBusStopsCleanly) {
  AgentRun run;
  ASSERT_TRUE(run.Start());
  ASSERT_EQ(run.WaitGreeting(kGreetMs), static_cast<uint32_t>(REMOTE_INFO_USER));
  ASSERT_TRUE(run.parent().WriteSessionFiles(services_.Get("DBUS_SESSION_BUS_ADDRESS"),
                                             services_.Get("XDG_RUNTIME_DIR"), getuid()));
  ASSERT_TRUE(run.parent().SendCaptureStart("Meta-0"))
      << run.Log() << run.process().Stderr() << run.process().Running();
  ExpectEcho(run, "Meta-0");
  ASSERT_TRUE(run.WaitLog("SightwellRemote: DBus connection ready, starting input event thread", 5000))
      << run.Log();
  ASSERT_TRUE(run.WaitLog("SightwellRemote: Started libEI input event thread", 2000));
  ASSERT_TRUE(run.parent().SendStop());
  EXPECT_EQ(run.Wait(kExitMs), 0) << run.Log();
  std::string log = run.Log();
  EXPECT_NE(log.find("SightwellRemote: Capture event thread received stop signal, exiting"),
            std::string::npos);
  EXPECT_NE(log.find("SightwellRemote: REMOTE_STOP processed, exiting remote routine cleanly"),
            std::string::npos);
}

TEST_F(AgentSessionBus, AudioCommandsAreAnsweredOnTheAudioSocketWhichMayDieAlone) {
  AgentRun run;
  StartWithAudio(run);
  if (HasFatalFailure()) return;
  ASSERT_TRUE(run.parent().SendAudioStart());
  auto reply = run.parent().WaitAudioRecord(REMOTE_AUDIO_START, kReplyMs);
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(reply->status, static_cast<uint32_t>(CHANNEL_STATUS_SUCCESS));
  EXPECT_TRUE(run.WaitLog("SightwellRemote: Audio capture already running", kReplyMs));

  // The parent drops the audio connection while audio runs: only that
  // socket goes; the control socket still serves.
  run.parent().CloseAudio();
  EXPECT_TRUE(run.WaitLog(
      "SightwellRemote: Failed to receive audio command from parent (parent died?)", kReplyMs));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_TRUE(run.process().Running());
  ASSERT_TRUE(run.parent().SendStop());
  EXPECT_EQ(run.Wait(kExitMs), 0) << run.Log();
  std::string log = run.Log();
  size_t stopped = log.find("SightwellRemote: PipeWire audio capture stopped");
  size_t processed = log.find("SightwellRemote: REMOTE_STOP processed, exiting remote routine cleanly");
  EXPECT_NE(stopped, std::string::npos);
  EXPECT_NE(processed, std::string::npos);
  EXPECT_LT(stopped, processed);
}

TEST_F(AgentSessionBus, CaptureStartMovesEveryThreadToTheSessionUsersIdsAndGroups) {
  swagent::TestUser user("swg" + std::to_string(getpid() % 100000), "users");
  ASSERT_TRUE(user.ok());
  struct group *users = getgrnam("users");
  ASSERT_NE(users, nullptr);
  std::vector<gid_t> expectGroups = {user.gid(), users->gr_gid};
  std::sort(expectGroups.begin(), expectGroups.end());
  std::string groups;
  for (gid_t g : expectGroups) groups += (groups.empty() ? "" : " ") + std::to_string(g);
  const std::string uid = std::to_string(user.uid());
  const std::string uids = uid + " " + uid + " " + uid + " " + uid;
  const std::string gid = std::to_string(user.gid());
  const std::string gids = gid + " " + gid + " " + gid + " " + gid;
  const std::string noCaps = "0000000000000000";

  // The parent's groups include root's and two system groups; audio starts
  // (its threads under root) before the capture start.
  AgentRun run;
  run.WithGroups("0,4,42");
  StartWithAudio(run);
  if (HasFatalFailure()) return;
  pid_t pid = run.process().pid();
  size_t before = swagent::ThreadIdentities(pid).size();
  EXPECT_EQ(swagent::ThreadUids(pid).count("soundlib-pipewi"), 1u);
  for (const auto &id : swagent::ThreadIdentities(pid)) {
    ASSERT_EQ(id.uids, "0 0 0 0") << id.name;
    ASSERT_EQ(id.groups, "0 4 42") << id.name;
  }

  ASSERT_TRUE(run.parent().WriteSessionFiles(kNoBus, "/tmp", user.uid()));
  ASSERT_TRUE(run.parent().SendCaptureStart("Meta-0"));
  ExpectEcho(run, "Meta-0");
  // The capture threads wait for the (absent) bus for 3 s: long enough.
  ASSERT_TRUE(swtest::WaitFor(
      [&] {
        auto uids = swagent::ThreadUids(pid);
        return uids.count("sightwell-captu") == 1 && uids.count("sightwell-sessi") == 1;
      },
      2000));
  auto threads = swagent::ThreadIdentities(pid);
  EXPECT_GE(threads.size(), before + 2);
  for (const auto &id : threads) {
    EXPECT_EQ(id.uids, uids) << id.name;
    EXPECT_EQ(id.gids, gids) << id.name;
    EXPECT_EQ(id.groups, groups) << id.name;
    EXPECT_EQ(id.capPrm, noCaps) << id.name;
    EXPECT_EQ(id.capEff, noCaps) << id.name;
  }

  ASSERT_TRUE(run.parent().SendStop());
  EXPECT_EQ(run.Wait(kExitMs), 0) << run.Log();
}

TEST_F(AgentSessionBus, BusDeathIsReportedAsExactlyOneLogout) {
  AgentRun run;
  ASSERT_TRUE(run.Start());
  ASSERT_EQ(run.WaitGreeting(kGreetMs), static_cast<uint32_t>(REMOTE_INFO_USER));
  ASSERT_TRUE(run.parent().WriteSessionFiles(services_.Get("DBUS_SESSION_BUS_ADDRESS"),
                                             services_.Get("XDG_RUNTIME_DIR"), getuid()));
  ASSERT_TRUE(run.parent().SendCaptureStart("Meta-0"));
  ExpectEcho(run, "Meta-0");
  ASSERT_TRUE(run.WaitLog("SightwellRemote: DBus connection ready", 5000)) << run.Log();

  ASSERT_TRUE(services_.Kill("dbus-daemon"));
  auto logout = run.parent().WaitControlRecord(REMOTE_LOGOUT, 5000);
  ASSERT_TRUE(logout.has_value()) << run.Log();
  EXPECT_EQ(logout->logout, 1);
  // The bus library's SIGTERM is the agent's own and does not end it; the
  // session thread keeps retrying the vanished bus.
  EXPECT_TRUE(run.WaitLog("SightwellMain: Received SIGTERM from self, exiting cleanly.", 2000));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_TRUE(run.process().Running());
  EXPECT_EQ(run.parent().CountControlRecords(REMOTE_LOGOUT), 0u);
  EXPECT_EQ(run.CountLog("SightwellRemote: Logout detected in capture event thread"), 1u);
  EXPECT_GE(run.CountLog("Session thread: DBus connection failed; retrying in 1 second"), 1u)
      << run.Log();

  ASSERT_TRUE(run.parent().SendStop());
  EXPECT_EQ(run.Wait(kExitMs), 0) << run.Log();
  EXPECT_NE(run.Log().find("(remote_peer_vanished=1) — logout detected"), std::string::npos);
}

TEST_F(AgentSessionBus, GreeterAddressFileRewriteIsReportedOnce) {
  // The login screen runs under this account; only then is the file watched.
  swagent::TestUser greeter("takquill");
  ASSERT_TRUE(greeter.ok());
  // Let the switched agent reach the private bus.
  chmod(services_.dir().c_str(), 0755);
  chmod(services_.Get("XDG_RUNTIME_DIR").c_str(), 0755);

  AgentRun run;
  ASSERT_TRUE(run.Start({{"REMOTE_SESSION_WORKFLOW", "greeter"}}));
  ASSERT_EQ(run.WaitGreeting(kGreetMs), static_cast<uint32_t>(REMOTE_INFO_GREETER));
  ASSERT_TRUE(run.parent().WriteSessionFiles(services_.Get("DBUS_SESSION_BUS_ADDRESS"),
                                             services_.Get("XDG_RUNTIME_DIR"), greeter.uid()));
  ASSERT_TRUE(run.parent().SendCaptureStart("Meta-0"));
  ExpectEcho(run, "Meta-0");
  ASSERT_TRUE(run.WaitLog("SightwellRemote: DBus connection ready", 5000)) << run.Log();

  ASSERT_TRUE(run.parent().WriteSessionFileRaw(SIGHTWELL_DBUS_ADDRESS_FORMAT, "unix:path=/a\n"));
  auto logout = run.parent().WaitControlRecord(REMOTE_LOGOUT, 2000);
  ASSERT_TRUE(logout.has_value()) << run.Log();
  EXPECT_EQ(logout->logout, 1);
  ASSERT_TRUE(run.parent().WriteSessionFileRaw(SIGHTWELL_DBUS_ADDRESS_FORMAT, "unix:path=/b\n"));
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  EXPECT_EQ(run.parent().CountControlRecords(REMOTE_LOGOUT), 0u);

  ASSERT_TRUE(run.parent().SendStop());
  EXPECT_EQ(run.Wait(kExitMs), 0) << run.Log();
}

}  // namespace
