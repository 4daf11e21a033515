// The host check run as an operator would run it, against private session
// services and the fake compositor: everything working, then one fault at a
// time. Each run must end within its bound, exit non-zero on a fault and
// name the cause on the failing capability's line.
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <sstream>

#include "tests/support/process.h"
#include "tests/support/test_env.h"

namespace {

// A check must be over well within this (its own waits add up to less).
constexpr int kCheckBoundMs = 60000;

struct CheckRun {
  std::optional<int> status;
  std::string output;
  std::map<std::string, std::string> lines;  // capability -> "verdict detail"
};

CheckRun RunCheck(const swtest::TestServices &services, const std::string &agent,
                  const std::string &out, const std::vector<std::string> &extra = {}) {
  std::vector<std::string> argv = {swtest::ParentBinary(), "check",
                                   "--runtime-dir", services.Get("XDG_RUNTIME_DIR"),
                                   "--agent", agent, "--out", out, "--seconds", "2"};
  argv.insert(argv.end(), extra.begin(), extra.end());
  swtest::Process::Options options;
  // The check finds everything from the runtime folder, not from its own
  // environment, as it would when run from an operator's shell.
  options.unsetEnv = {"DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR", "PIPEWIRE_REMOTE"};
  auto process = swtest::Process::Spawn(argv, options);
  CheckRun run;
  if (!process) {
    return run;
  }
  run.status = process->Wait(kCheckBoundMs);
  run.output = process->Stdout() + process->Stderr();
  std::istringstream in(process->Stdout());
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    std::string capability, rest;
    fields >> capability;
    std::getline(fields >> std::ws, rest);
    run.lines[capability] = rest;
  }
  return run;
}

bool Starts(const std::string &s, const std::string &prefix) { return s.rfind(prefix, 0) == 0; }

TEST(HostCheck, PassesOnAWorkingSessionAndNamesTheCauseOfEachFault) {
  swtest::TestServices services;
  ASSERT_TRUE(services.ok()) << services.error();
  const std::string out = swtest::MakeTempDir("sightwell-check");
  const std::string agent = swtest::AgentBinary();

  {
    SCOPED_TRACE("everything works");
    auto compositor = swtest::StartFakeCompositor(services, {});
    ASSERT_TRUE(compositor != nullptr);
    CheckRun run = RunCheck(services, agent, out, {"--input"});
    ASSERT_TRUE(run.status.has_value()) << "the check did not end:\n" << run.output;
    EXPECT_EQ(*run.status, 0) << run.output;
    for (const char *capability : {"session", "compositor", "pipewire", "agent", "screencast",
                                   "frames", "cursor", "input", "audio", "logout", "stop"}) {
      EXPECT_TRUE(Starts(run.lines[capability], "ok ")) << capability << "\n" << run.output;
    }
    EXPECT_NE(run.lines["frames"].find("640x480"), std::string::npos) << run.output;
    EXPECT_NE(run.lines["input"].find("Keyboard"), std::string::npos) << run.output;
    EXPECT_EQ(run.lines["result"], "ok");
    // What the report is made of is there (the browser test reads the page).
    for (const char *file : {"report.html", "summary.txt", "timeline.png", "frame.png", "audio.wav"}) {
      EXPECT_EQ(access((out + "/" + file).c_str(), F_OK), 0) << file;
    }
  }
  {
    SCOPED_TRACE("the compositor refuses to record the monitor");
    auto compositor = swtest::StartFakeCompositor(services, {"--sc-refuse-record"});
    ASSERT_TRUE(compositor != nullptr);
    CheckRun run = RunCheck(services, agent, out);
    ASSERT_TRUE(run.status.has_value()) << "the check did not end:\n" << run.output;
    EXPECT_EQ(*run.status, 1) << run.output;
    EXPECT_TRUE(Starts(run.lines["screencast"], "FAIL ")) << run.output;
    EXPECT_NE(run.lines["frames"].find("refused to record the monitor"), std::string::npos)
        << run.output;
    EXPECT_TRUE(Starts(run.lines["input"], "ok ")) << run.output;
    EXPECT_TRUE(Starts(run.lines["audio"], "ok ")) << run.output;
    EXPECT_EQ(run.lines["result"], "FAILED");
  }
  {
    SCOPED_TRACE("the compositor refuses EIS");
    auto compositor = swtest::StartFakeCompositor(services, {"--rd-refuse-eis"});
    ASSERT_TRUE(compositor != nullptr);
    CheckRun run = RunCheck(services, agent, out);
    ASSERT_TRUE(run.status.has_value()) << "the check did not end:\n" << run.output;
    EXPECT_EQ(*run.status, 1) << run.output;
    EXPECT_TRUE(Starts(run.lines["input"], "FAIL ")) << run.output;
    EXPECT_NE(run.lines["input"].find("refused ConnectToEIS"), std::string::npos) << run.output;
    EXPECT_TRUE(Starts(run.lines["frames"], "ok ")) << run.output;
  }
  {
    SCOPED_TRACE("the agent is missing");
    auto compositor = swtest::StartFakeCompositor(services, {});
    ASSERT_TRUE(compositor != nullptr);
    CheckRun run = RunCheck(services, out + "/no-such-agent", out);
    ASSERT_TRUE(run.status.has_value()) << "the check did not end:\n" << run.output;
    EXPECT_EQ(*run.status, 1) << run.output;
    EXPECT_TRUE(Starts(run.lines["agent"], "FAIL ")) << run.output;
    EXPECT_NE(run.lines["agent"].find("missing"), std::string::npos) << run.output;
  }
  {
    SCOPED_TRACE("PipeWire has stopped");
    auto compositor = swtest::StartFakeCompositor(services, {});
    ASSERT_TRUE(compositor != nullptr);
    ASSERT_TRUE(services.Kill("pipewire"));
    CheckRun run = RunCheck(services, agent, out);
    ASSERT_TRUE(run.status.has_value()) << "the check did not end:\n" << run.output;
    EXPECT_EQ(*run.status, 1) << run.output;
    EXPECT_TRUE(Starts(run.lines["pipewire"], "FAIL ")) << run.output;
    EXPECT_NE(run.lines["audio"].find("PipeWire is not running"), std::string::npos) << run.output;
    EXPECT_TRUE(Starts(run.lines["stop"], "ok ")) << run.output;
  }
  {
    SCOPED_TRACE("no session there");
    std::vector<std::string> argv = {swtest::ParentBinary(), "check", "--runtime-dir",
                                     out + "/no-such-runtime", "--agent", agent, "--out", out};
    auto process = swtest::Process::Spawn(argv, {});
    ASSERT_TRUE(process != nullptr);
    auto status = process->Wait(kCheckBoundMs);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 1);
    EXPECT_NE(process->Stdout().find("session     FAIL"), std::string::npos) << process->Stdout();
  }
  if (!::testing::Test::HasFailure()) {
    swtest::WriteFile(out + "/.done", "");
    (void)!system(("rm -rf '" + out + "'").c_str());
  }
}

}  // namespace
