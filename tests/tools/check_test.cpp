// The host check run as an operator would run it, against private session
// services and the fake compositor: everything working, then one fault at a
// time. Each run must end within its bound, exit non-zero on a fault and
// name the cause on the failing capability's line. Then the report page a
// run leaves, opened in headless Chromium as a person would open it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <png.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <regex>
#include <set>
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
  // One fault at a time; killing PipeWire cannot be undone, so it comes last.
  struct Fault {
    const char *what;
    bool compositor;                 // start the fake compositor
    std::vector<std::string> args;   // its fault switches
    bool missingAgent;
    bool killPipeWire;
    const char *failing;             // the capability that must fail ...
    const char *cause;               // ... with this in its line
    const char *stillOk;             // one that must still work
  };
  const Fault faults[] = {
      {"RecordMonitor refused", true, {"--sc-refuse-record"}, false, false, "frames",
       "refused to record the monitor", "input"},
      {"ConnectToEIS refused", true, {"--rd-refuse-eis"}, false, false, "input",
       "refused ConnectToEIS", "frames"},
      {"no compositor on the bus", false, {}, false, false, "compositor",
       "org.gnome.Mutter.ScreenCast is not on the session bus", "stop"},
      {"the agent is missing", true, {}, true, false, "agent", "missing", "pipewire"},
      {"PipeWire killed", true, {}, false, true, "audio", "PipeWire is not running", "stop"},
  };
  for (const Fault &f : faults) {
    SCOPED_TRACE(f.what);
    std::unique_ptr<swtest::Process> compositor;
    if (f.compositor) {
      compositor = swtest::StartFakeCompositor(services, f.args);
      ASSERT_TRUE(compositor != nullptr);
    }
    if (f.killPipeWire) {
      ASSERT_TRUE(services.Kill("pipewire"));
    }
    CheckRun run = RunCheck(services, f.missingAgent ? out + "/no-such-agent" : agent, out);
    ASSERT_TRUE(run.status.has_value()) << "the check did not end:\n" << run.output;
    EXPECT_EQ(*run.status, 1) << run.output;
    EXPECT_TRUE(Starts(run.lines[f.failing], "FAIL ")) << run.output;
    EXPECT_NE(run.lines[f.failing].find(f.cause), std::string::npos) << run.output;
    EXPECT_TRUE(Starts(run.lines[f.stillOk], "ok ")) << run.output;
    EXPECT_EQ(run.lines["result"], "FAILED") << run.output;
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

// Text of an HTML fragment as Chromium serialises it.
std::string Unescape(std::string s) {
  static const std::pair<const char *, const char *> entities[] = {
      {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&nbsp;", " "}, {"&amp;", "&"}};
  for (const auto &[from, to] : entities) {
    for (size_t at; (at = s.find(from)) != std::string::npos;) {
      s.replace(at, strlen(from), to);
    }
  }
  return s;
}

// The text elements of one inline chart.
std::vector<std::string> ChartTexts(const std::string &dom, const std::string &id) {
  std::vector<std::string> texts;
  size_t from = dom.find("<svg id=\"" + id + "\"");
  size_t to = dom.find("</svg>", from);
  if (from == std::string::npos || to == std::string::npos) {
    return texts;
  }
  std::string svg = dom.substr(from, to - from);
  static const std::regex text("<text[^>]*>([^<]*)</text>");
  for (auto it = std::sregex_iterator(svg.begin(), svg.end(), text); it != std::sregex_iterator(); ++it) {
    texts.push_back(Unescape((*it)[1]));
  }
  return texts;
}

bool Has(const std::vector<std::string> &texts, const std::string &t) {
  return std::find(texts.begin(), texts.end(), t) != texts.end();
}

// Pixels of one exact colour in a PNG.
size_t CountColour(const std::string &path, uint32_t rgb) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) {
    return 0;
  }
  image.format = PNG_FORMAT_RGB;
  std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) {
    return 0;
  }
  size_t n = 0;
  for (size_t i = 0; i + 2 < pixels.size(); i += 3) {
    n += pixels[i] == (rgb >> 16 & 0xff) && pixels[i + 1] == (rgb >> 8 & 0xff) &&
         pixels[i + 2] == (rgb & 0xff);
  }
  return n;
}

TEST(ReportPage, LoadsInChromiumWithNothingButTheFilesBesideIt) {
  ASSERT_EQ(access("/usr/bin/chromium", X_OK), 0)
      << "chromium is missing: scripts/setup --tests installs it";
  swtest::TestServices services;
  ASSERT_TRUE(services.ok()) << services.error();
  const std::string out = swtest::MakeTempDir("sightwell-report");
  const std::string eisEvents = out + "/eis-events.txt";
  auto compositor = swtest::StartFakeCompositor(services, {"--eis-events", eisEvents});
  ASSERT_TRUE(compositor != nullptr);

  // A demo-like run: frames, cursor, audio and input, so every chart has bars.
  auto parent = swtest::Process::Spawn(
      {swtest::ParentBinary(), "--card", swtest::UniqueCardName(), "--agent", swtest::AgentBinary(),
       "--dbus-address", services.Get("DBUS_SESSION_BUS_ADDRESS"), "--xdg-runtime",
       services.Get("XDG_RUNTIME_DIR"), "--uid", std::to_string(getuid()), "--connector", "Meta-0",
       "--audio", "--seconds", "3", "--input-events", "60", "--eis-events", eisEvents, "--out", out},
      {});
  ASSERT_TRUE(parent != nullptr);
  auto status = parent->Wait(60000);
  ASSERT_TRUE(status.has_value());
  ASSERT_EQ(*status, 0) << parent->Stdout() << parent->Stderr();

  // Any request the page makes goes to this proxy, which nobody answers.
  int proxy = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  ASSERT_GE(proxy, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(bind(proxy, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(proxy, 64), 0);
  ASSERT_EQ(getsockname(proxy, reinterpret_cast<sockaddr *>(&addr), &len), 0);
  const std::string proxyUrl = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port));

  auto chromium = [&](const std::vector<std::string> &extra) {
    std::vector<std::string> argv = {
        "/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
        "--disable-background-networking", "--disable-component-update", "--disable-sync",
        "--user-data-dir=" + out + "/profile", "--proxy-server=" + proxyUrl,
        "--proxy-bypass-list=<-loopback>", "--virtual-time-budget=5000", "--hide-scrollbars",
        "--window-size=1200,2400"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.push_back("file://" + out + "/report.html");
    return swtest::Process::Spawn(argv, {});
  };
  auto dump = chromium({"--dump-dom"});
  ASSERT_TRUE(dump != nullptr);
  ASSERT_TRUE(dump->Wait(60000).has_value()) << "chromium did not finish";
  const std::string dom = dump->Stdout();
  auto shot = chromium({"--screenshot=" + out + "/screenshot.png"});
  ASSERT_TRUE(shot != nullptr);
  ASSERT_TRUE(shot->Wait(60000).has_value()) << "chromium did not finish";

  // Every image decoded and the audio player read its file.
  EXPECT_NE(dom.find("<body data-loaded=\"yes\""), std::string::npos)
      << dom.substr(0, std::min<size_t>(dom.size(), 4000)) << dump->Stderr();
  for (const char *id : {"id=\"frame\"", "id=\"cursor\"", "id=\"audio\""}) {
    EXPECT_NE(dom.find(id), std::string::npos) << id;
  }
  // The table is summary.txt, line for line.
  std::vector<std::string> rows;
  static const std::regex row("<tr><th>([^<]*)</th><td>([^<]*)</td></tr>");
  for (auto it = std::sregex_iterator(dom.begin(), dom.end(), row); it != std::sregex_iterator(); ++it) {
    rows.push_back(Unescape((*it)[1]) + ": " + Unescape((*it)[2]));
  }
  std::vector<std::string> summary;
  std::istringstream in(swtest::ReadFile(out + "/summary.txt"));
  for (std::string line; std::getline(in, line);) {
    summary.push_back(line);
  }
  EXPECT_GE(summary.size(), 12u);
  EXPECT_EQ(rows, summary);
  // Charts: legends, axis labels and numbered ticks.
  auto timeline = ChartTexts(dom, "timeline");
  for (const char *t : {"frames", "audio blocks", "input events", "time since start (s)",
                        "count per second", "0", "1", "2"}) {
    EXPECT_TRUE(Has(timeline, t)) << "timeline lacks " << t;
  }
  for (const char *id : {"frame-latency", "input-latency"}) {
    auto texts = ChartTexts(dom, id);
    EXPECT_TRUE(Has(texts, "latency (ms)")) << id;
    EXPECT_TRUE(Has(texts, "samples per bin")) << id;
    EXPECT_FALSE(Has(texts, "no samples")) << id << " has no bars";
  }
  EXPECT_TRUE(Has(ChartTexts(dom, "frame-latency"), "frames"));
  EXPECT_TRUE(Has(ChartTexts(dom, "input-latency"), "input events"));
  // The screenshot shows the bars and swatches of all three series.
  for (uint32_t colour : {0x285ac8u, 0x28aa3cu, 0xd25a1eu}) {
    EXPECT_GT(CountColour(out + "/screenshot.png", colour), 200u) << std::hex << colour;
  }
  // No request left for the network. The browser's own housekeeping
  // (component updates, network time, sign-in) goes through the proxy too,
  // whatever the flags; anything else came from the page.
  static const std::set<std::string> browserHosts = {"update.googleapis.com", "clients2.google.com",
                                                     "accounts.google.com"};
  for (int peer; (peer = accept4(proxy, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
    std::string request(512, '\0');
    pollfd p{peer, POLLIN, 0};
    ssize_t n = poll(&p, 1, 2000) == 1 ? recv(peer, request.data(), request.size(), 0) : 0;
    close(peer);
    request.resize(static_cast<size_t>(std::max<ssize_t>(0, n)));
    std::smatch host;
    static const std::regex target("^[A-Z]+ (?:https?://)?([^/: ]+)");
    ASSERT_TRUE(std::regex_search(request, host, target)) << "unreadable request: " << request;
    EXPECT_TRUE(browserHosts.count(host[1]) == 1)
        << "the page made a network request: " << request.substr(0, request.find('\r'));
  }
  close(proxy);
  if (!::testing::Test::HasFailure()) {
    (void)!system(("rm -rf '" + out + "'").c_str());
  }
}

}  // namespace
