#include "tools/sightwell-parent/check.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <gio/gio.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "tools/sightwell-parent/agent_process.h"
#include "tools/sightwell-parent/parent.h"
#include "tools/sightwell-parent/report.h"
#include "tools/sightwell-parent/wav_writer.h"

namespace swparent {

namespace {

// Every wait of the check, in milliseconds. A run with everything missing
// still ends in well under a minute.
constexpr int kBusProbeMs = 5000;
constexpr int kGreetingMs = 10000;
constexpr int kAudioConnectMs = 5000;
constexpr int kCaptureEchoMs = 5000;
constexpr int kAudioStartMs = 15000;  // the agent retries ten times, a second apart
constexpr int kStopMs = 10000;

struct CheckOptions {
  std::string user;
  long uid = -1;
  std::string runtimeDir;
  std::string bus;
  std::string agent;  // default: the agent installed beside this program
  std::string connector;
  bool input = false;
  double seconds = 3;
  std::string out = "sightwell-check";
};

void CheckUsage() {
  fprintf(stderr,
          "usage: sightwell-parent check [--user NAME | --uid N] [--runtime-dir DIR] [--bus ADDR]\n"
          "         [--agent PATH] [--connector NAME] [--input] [--seconds S] [--out DIR]\n"
          "Plays the parent for a few seconds against a user's graphical session (default:\n"
          "the only one running) and prints one verdict per capability. --input moves the\n"
          "pointer by one pixel and back. Writes DIR/report.html (default ./sightwell-check).\n"
          "Exit status 0 only when everything works.\n");
}

bool ParseCheckOptions(int argc, char **argv, CheckOptions *o) {
  static const option longOptions[] = {
      {"user", required_argument, nullptr, 'U'},     {"uid", required_argument, nullptr, 'u'},
      {"runtime-dir", required_argument, nullptr, 'r'}, {"bus", required_argument, nullptr, 'b'},
      {"agent", required_argument, nullptr, 'a'},    {"connector", required_argument, nullptr, 'n'},
      {"input", no_argument, nullptr, 'i'},          {"seconds", required_argument, nullptr, 's'},
      {"out", required_argument, nullptr, 'o'},      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0}};
  optind = 1;
  int c;
  while ((c = getopt_long(argc, argv, "", longOptions, nullptr)) != -1) {
    char *end = nullptr;
    switch (c) {
      case 'U': o->user = optarg; break;
      case 'u':
        o->uid = strtol(optarg, &end, 10);
        if (*optarg == '\0' || *end != '\0' || o->uid < 0) {
          fprintf(stderr, "sightwell-parent check: --uid needs a number, not %s\n", optarg);
          return false;
        }
        break;
      case 'r': o->runtimeDir = optarg; break;
      case 'b': o->bus = optarg; break;
      case 'a': o->agent = optarg; break;
      case 'n': o->connector = optarg; break;
      case 'i': o->input = true; break;
      case 's':
        o->seconds = strtod(optarg, &end);
        if (*end != '\0' || !(o->seconds >= 1 && o->seconds <= 60)) {
          fprintf(stderr, "sightwell-parent check: --seconds must be 1 to 60\n");
          return false;
        }
        break;
      case 'o': o->out = optarg; break;
      default: return false;
    }
  }
  if (optind != argc) {
    fprintf(stderr, "sightwell-parent check: unexpected argument %s\n", argv[optind]);
    return false;
  }
  return true;
}

bool IsSocket(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

bool HasWaylandSocket(const std::string &dir) {
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) {
    return false;
  }
  bool found = false;
  while (dirent *e = readdir(d)) {
    if (strncmp(e->d_name, "wayland-", 8) == 0 && strchr(e->d_name, '.') == nullptr &&
        IsSocket(dir + "/" + e->d_name)) {
      found = true;
    }
  }
  closedir(d);
  return found;
}

struct Session {
  uid_t uid = 0;
  std::string runtimeDir;
  std::string bus;
};

// Finds the session to check: explicit options first, else the user's
// /run/user/UID, else the only runtime folder that holds both a session bus
// and a Wayland socket (a logged-in graphical session; without logind this
// is what a session leaves behind). False with the reason in *error.
bool FindSession(const CheckOptions &o, Session *s, std::string *error) {
  long uid = o.uid;
  if (!o.user.empty()) {
    passwd *pw = getpwnam(o.user.c_str());
    if (pw == nullptr) {
      *error = "there is no user " + o.user;
      return false;
    }
    uid = pw->pw_uid;
  }
  s->runtimeDir = o.runtimeDir;
  if (s->runtimeDir.empty() && uid >= 0) {
    s->runtimeDir = "/run/user/" + std::to_string(uid);
  }
  if (s->runtimeDir.empty()) {
    std::vector<std::string> found;
    if (DIR *d = opendir("/run/user")) {
      while (dirent *e = readdir(d)) {
        std::string dir = std::string("/run/user/") + e->d_name;
        if (e->d_name[0] != '.' && IsSocket(dir + "/bus") && HasWaylandSocket(dir)) {
          found.push_back(dir);
        }
      }
      closedir(d);
    }
    if (found.empty()) {
      *error = "no graphical session: no /run/user/UID holds a session bus and a Wayland socket "
               "(log in to GNOME first, or name the session with --user or --runtime-dir)";
      return false;
    }
    if (found.size() > 1) {
      *error = "several graphical sessions (";
      for (size_t i = 0; i < found.size(); i++) {
        *error += (i ? ", " : "") + found[i];
      }
      *error += "): name one with --user";
      return false;
    }
    s->runtimeDir = found[0];
  }
  struct stat st;
  if (stat(s->runtimeDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    *error = "the session's runtime folder " + s->runtimeDir + " does not exist (is the user logged in?)";
    return false;
  }
  s->uid = uid >= 0 ? static_cast<uid_t>(uid) : st.st_uid;
  s->bus = o.bus.empty() ? "unix:path=" + s->runtimeDir + "/bus" : o.bus;
  if (o.bus.empty() && !IsSocket(s->runtimeDir + "/bus")) {
    *error = "the session has no bus socket at " + s->runtimeDir + "/bus";
    return false;
  }
  return true;
}

// Text from the session (a monitor's name, the compositor's error texts
// quoted in the agent's log) goes to root's terminal: control characters
// become '?', so a session user cannot send escape sequences to it.
std::string Printable(std::string s) {
  for (char &ch : s) {
    if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7f) {
      ch = '?';
    }
  }
  return s;
}

// What the session's bus says, asked from a child process that runs as the
// session user (the compositor's bus accepts no one else).
struct BusProbe {
  bool answered = false;  // connected and the bus replied in time
  std::string error;
  bool screenCast = false;
  bool remoteDesktop = false;
  std::string connector;  // the primary monitor's, when the compositor says
};

bool NameOwned(GDBusConnection *bus, const char *name) {
  g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
      bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
      g_variant_new("(s)", name), G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, 3000, nullptr,
      nullptr);
  gboolean owned = FALSE;
  if (reply != nullptr) {
    g_variant_get(reply, "(b)", &owned);
  }
  return owned;
}

// The connector of the primary logical monitor, from the compositor's
// display configuration; empty when it does not say.
std::string PrimaryConnector(GDBusConnection *bus) {
  g_autoptr(GVariant) state = g_dbus_connection_call_sync(
      bus, "org.gnome.Mutter.DisplayConfig", "/org/gnome/Mutter/DisplayConfig",
      "org.gnome.Mutter.DisplayConfig", "GetCurrentState", nullptr, nullptr,
      G_DBUS_CALL_FLAGS_NONE, 3000, nullptr, nullptr);
  if (state == nullptr || !g_variant_is_of_type(state, G_VARIANT_TYPE("(ua((ssss)a(siiddada{sv})a{sv})a(iiduba(ssss)a{sv})a{sv})"))) {
    return "";
  }
  g_autoptr(GVariant) logical = g_variant_get_child_value(state, 2);
  for (gsize i = 0; i < g_variant_n_children(logical); i++) {
    g_autoptr(GVariant) lm = g_variant_get_child_value(logical, i);
    g_autoptr(GVariant) primary = g_variant_get_child_value(lm, 4);
    g_autoptr(GVariant) monitors = g_variant_get_child_value(lm, 5);
    if (g_variant_get_boolean(primary) && g_variant_n_children(monitors) > 0) {
      g_autoptr(GVariant) monitorId = g_variant_get_child_value(monitors, 0);
      g_autoptr(GVariant) connector = g_variant_get_child_value(monitorId, 0);
      // Connector names are short words (eDP-1, HDMI-A-1, Meta-0); anything
      // else from the session's bus is not used.
      std::string name = g_variant_get_string(connector, nullptr);
      bool plain = !name.empty() && name.size() < sizeof(ChannelMessage{}.connector);
      for (char ch : name) {
        plain = plain && (g_ascii_isalnum(ch) || ch == '-' || ch == '_' || ch == '.');
      }
      return plain ? name : "";
    }
  }
  return "";
}

// Runs in the child: becomes the session user, asks, writes one line.
[[noreturn]] void ProbeChild(const Session &s, int fd) {
  if (getuid() != s.uid) {
    passwd *pw = getpwuid(s.uid);
    gid_t gid = pw != nullptr ? pw->pw_gid : s.uid;
    if (setgroups(0, nullptr) != 0 || setresgid(gid, gid, gid) != 0 ||
        setresuid(s.uid, s.uid, s.uid) != 0) {
      dprintf(fd, "error cannot switch to uid %u: %s\n", s.uid, strerror(errno));
      _exit(0);
    }
  }
  GError *error = nullptr;
  GDBusConnection *bus = g_dbus_connection_new_for_address_sync(
      s.bus.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, &error);
  if (bus == nullptr) {
    dprintf(fd, "error %s\n", error->message);
    _exit(0);
  }
  bool sc = NameOwned(bus, "org.gnome.Mutter.ScreenCast");
  bool rd = NameOwned(bus, "org.gnome.Mutter.RemoteDesktop");
  std::string connector = PrimaryConnector(bus);
  dprintf(fd, "ok %d %d %s\n", sc ? 1 : 0, rd ? 1 : 0, connector.empty() ? "-" : connector.c_str());
  _exit(0);
}

// Must run before any thread is started: the child uses GLib after fork.
BusProbe ProbeBus(const Session &s) {
  BusProbe probe;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    probe.error = std::string("pipe: ") + strerror(errno);
    return probe;
  }
  pid_t pid = fork();
  if (pid < 0) {
    probe.error = std::string("fork: ") + strerror(errno);
    close(fds[0]);
    close(fds[1]);
    return probe;
  }
  if (pid == 0) {
    close(fds[0]);
    ProbeChild(s, fds[1]);
  }
  close(fds[1]);
  std::string line;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusProbeMs);
  for (;;) {
    int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    deadline - std::chrono::steady_clock::now()).count());
    pollfd p{fds[0], POLLIN, 0};
    if (left <= 0 || poll(&p, 1, left) <= 0) {
      break;
    }
    char buf[512];
    ssize_t n = read(fds[0], buf, sizeof buf);
    if (n <= 0) {
      break;
    }
    line.append(buf, static_cast<size_t>(n));
  }
  close(fds[0]);
  kill(pid, SIGKILL);  // harmless when it has exited; ends a stuck probe
  waitpid(pid, nullptr, 0);
  std::istringstream in(line);
  std::string word;
  in >> word;
  if (word == "ok") {
    int sc = 0, rd = 0;
    in >> sc >> rd >> probe.connector;
    probe.answered = true;
    probe.screenCast = sc != 0;
    probe.remoteDesktop = rd != 0;
    if (probe.connector == "-") {
      probe.connector.clear();
    }
  } else if (word == "error") {
    std::getline(in >> std::ws, probe.error);
    probe.error = Printable(probe.error);
  } else {
    probe.error = "no answer within " + std::to_string(kBusProbeMs / 1000) + " s";
  }
  return probe;
}

// Empty when the session's PipeWire socket accepts a connection, else why not.
std::string PipeWireRefusal(const std::string &path) {
  sockaddr_un addr{};
  if (path.size() >= sizeof addr.sun_path) {
    return "path too long";
  }
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return strerror(errno);
  }
  addr.sun_family = AF_UNIX;
  memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  std::string refusal =
      connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 ? "" : strerror(errno);
  close(fd);
  return refusal;
}

// The agent's log lines that explain a failure, by capability. The first
// line of the log that matches an entry of the capability names the cause.
struct LogCause {
  const char *capabilities;  // space separated
  const char *pattern;
  const char *cause;
};

const LogCause kLogCauses[] = {
    {"agent", "Failed to connect to socket", "the agent cannot reach the parent's socket"},
    {"agent", "Unable to proceed without a log file", "the agent cannot write its log file"},
    {"agent stop", "PANIC:", "the agent hit an unrecoverable error"},
    {"screencast frames input logout", "Failed to open DBus address file",
     "the session files were missing when capture started"},
    {"screencast frames input logout", "Failed to open XDG runtime dir file",
     "the session files were missing when capture started"},
    {"screencast frames input logout", "Failed to open UID file",
     "the session files were missing when capture started"},
    {"screencast frames input logout", "Invalid UID value in file", "the uid file is not a decimal number"},
    {"screencast frames input logout", "Failed to set effective UID",
     "the agent cannot switch to the session user (run the check as root)"},
    {"screencast frames input logout", "Timeout waiting for DBus connection",
     "the session bus address is wrong or the bus refuses the session user"},
    {"screencast frames input logout", "Failed to connect to session DBus",
     "the session bus address is wrong or the bus refuses the session user"},
    {"screencast frames audio", "Failed to initialize PipeWire",
     "the PipeWire client library cannot be opened (install libpipewire-0.3-0 or set sightwell.libPipewire)"},
    {"screencast frames input", "ServiceUnknown",
     "the compositor's service is not on the session bus (no GNOME Wayland session for this user?)"},
    {"screencast frames", "RecordMonitor failed", "the compositor refused to record the monitor"},
    {"screencast frames", "Failed to start stream session", "the compositor could not start the screen cast"},
    {"screencast frames", "Failed to call method", "a call to the compositor's ScreenCast service failed"},
    {"frames", "stream closed by compositor", "the compositor ended the screen cast"},
    {"input", "Failed to connect to EIS",
     "the compositor refused ConnectToEIS or offers no EIS (GNOME older than 45)"},
    {"input", "Initial libEI init failed",
     "the compositor refused ConnectToEIS or offers no EIS (GNOME older than 45)"},
    {"audio", "Failed to start PipeWire audio after",
     "no PipeWire daemon or no default output in the session"},
    {"audio", "Failed to connect PipeWire core", "PipeWire is not running in the session"},
    {"audio", "Partial audio write", "the parent stopped reading audio"},
    {"logout", "logout detected", "the session ended (a logout) during the check"},
};

bool HasWord(const char *list, const std::string &word) {
  std::istringstream in(list);
  for (std::string w; in >> w;) {
    if (w == word) {
      return true;
    }
  }
  return false;
}

// The message of a log line: what follows the time stamp, level and thread.
std::string Message(const std::string &line) {
  size_t pos = 0;
  for (int field = 0; field < 3 && pos != std::string::npos; field++) {
    pos = line.find(' ', pos);
    if (pos != std::string::npos) {
      pos++;
    }
  }
  std::string m = Printable(pos == std::string::npos ? line : line.substr(pos));
  return m.size() > 160 ? m.substr(0, 157) + "..." : m;
}

std::vector<std::string> ReadLines(const std::string &path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

bool LogHas(const std::vector<std::string> &log, const char *text) {
  for (const auto &line : log) {
    if (line.find(text) != std::string::npos) {
      return true;
    }
  }
  return false;
}

// The loudness of what arrived, from the reader thread's blocks.
class AudioLevel {
 public:
  void Add(const std::vector<uint8_t> &samples) {
    std::lock_guard<std::mutex> guard(lock_);
    for (size_t i = 0; i + 1 < samples.size(); i += 2) {
      int16_t v;
      memcpy(&v, &samples[i], 2);
      double x = v / 32768.0;
      sumSquares_ += x * x;
      peak_ = std::max(peak_, std::fabs(x));
      count_++;
    }
  }
  std::string Describe() {
    std::lock_guard<std::mutex> guard(lock_);
    if (count_ == 0 || peak_ == 0) {
      return "silent";
    }
    char buf[96];
    snprintf(buf, sizeof buf, "level %.1f dBFS RMS, peak %.1f dBFS",
             10 * std::log10(sumSquares_ / static_cast<double>(count_)), 20 * std::log10(peak_));
    return buf;
  }

 private:
  std::mutex lock_;
  double sumSquares_ = 0;
  double peak_ = 0;
  uint64_t count_ = 0;
};

// A private HOME for the agent whose preferences send its log where the
// check reads it; removed with everything the agent left in it.
class PrivateHome {
 public:
  PrivateHome() = default;
  ~PrivateHome() {
    if (!path_.empty()) {
      std::error_code ignored;
      std::filesystem::remove_all(path_, ignored);
    }
  }
  PrivateHome(const PrivateHome &) = delete;
  PrivateHome &operator=(const PrivateHome &) = delete;

  // 0, or -1 with errno.
  int Create(const std::string &logPath) {
    char dir[] = "/tmp/sightwell-check-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
      return -1;
    }
    path_ = dir;
    if (mkdir((path_ + "/.velmora").c_str(), 0700) != 0) {
      return -1;
    }
    std::ofstream config(path_ + "/.velmora/config");
    config << "sightwell.log.fileName = \"" << logPath << "\"\n";
    config.close();
    if (!config) {
      errno = EIO;
      return -1;
    }
    return 0;
  }
  const std::string &path() const { return path_; }

 private:
  std::string path_;
};

struct Verdict {
  std::string capability;
  enum { Ok, Fail, Skip } state;
  std::string detail;
};

class Verdicts {
 public:
  void Ok(const std::string &capability, const std::string &detail) {
    Add({capability, Verdict::Ok, detail});
  }
  void Skip(const std::string &capability, const std::string &detail) {
    Add({capability, Verdict::Skip, detail});
  }
  void Fail(const std::string &capability, const std::string &cause) {
    Add({capability, Verdict::Fail, cause});
  }
  bool AllOk() const {
    for (const auto &v : list_) {
      if (v.state == Verdict::Fail) {
        return false;
      }
    }
    return true;
  }
  void AddTo(SummaryLines *lines) const {
    for (const auto &v : list_) {
      lines->push_back({v.capability + " check", std::string(Word(v.state)) + " - " + v.detail});
    }
  }

 private:
  static const char *Word(int state) {
    return state == Verdict::Ok ? "ok" : state == Verdict::Fail ? "FAIL" : "skip";
  }
  void Add(const Verdict &v) {
    printf("%-11s %-5s %s\n", v.capability.c_str(), Word(v.state), v.detail.c_str());
    fflush(stdout);
    list_.push_back(v);
  }
  std::vector<Verdict> list_;
};

int Finish(const Verdicts &verdicts) {
  bool ok = verdicts.AllOk();
  printf("%-11s %s\n", "result", ok ? "ok" : "FAILED");
  return ok ? 0 : 1;
}

std::string Fixed(const char *format, double v) {
  char buf[64];
  snprintf(buf, sizeof buf, format, v);
  return buf;
}

// The cause the agent's log gives for a failed capability, with the log
// line that shows it; empty when no line explains it.
std::string CauseFromLog(const std::string &capability, const std::vector<std::string> &logLines) {
  for (const auto &line : logLines) {
    for (const LogCause &c : kLogCauses) {
      if (HasWord(c.capabilities, capability) && line.find(c.pattern) != std::string::npos) {
        return std::string(c.cause) + " (log: " + Message(line) + ")";
      }
    }
  }
  return "";
}

}  // namespace

int RunCheck(int argc, char **argv) {
  CheckOptions o;
  if (!ParseCheckOptions(argc, argv, &o)) {
    CheckUsage();
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  if (o.agent.empty()) {
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string dir = n > 0 ? std::string(self, static_cast<size_t>(n)) : "/usr/bin/x";
    o.agent = dir.substr(0, dir.rfind('/')) + "/sightwell";
  }
  Verdicts verdicts;

  Session session;
  std::string error;
  if (!FindSession(o, &session, &error)) {
    verdicts.Fail("session", error);
    return Finish(verdicts);
  }
  verdicts.Ok("session", "uid " + std::to_string(session.uid) + ", runtime folder " +
                             session.runtimeDir + ", bus " + session.bus);

  // Before any thread exists: the probe forks and uses GLib in the child.
  BusProbe probe = ProbeBus(session);
  std::string compositorCause, inputCause;
  if (!probe.answered) {
    compositorCause = inputCause = "the session bus does not answer: " + probe.error;
    verdicts.Fail("compositor", compositorCause);
  } else {
    if (!probe.screenCast) {
      compositorCause = "org.gnome.Mutter.ScreenCast is not on the session bus (no GNOME Wayland "
                        "session for this user?)";
    }
    if (!probe.remoteDesktop) {
      inputCause = "org.gnome.Mutter.RemoteDesktop is not on the session bus";
    }
    if (probe.screenCast && probe.remoteDesktop) {
      verdicts.Ok("compositor", "ScreenCast and RemoteDesktop are on the session bus");
    } else {
      verdicts.Fail("compositor", compositorCause.empty() ? inputCause : compositorCause);
    }
  }
  const std::string pipewirePath = session.runtimeDir + "/pipewire-0";
  std::string pipewireCause;
  if (std::string refusal = PipeWireRefusal(pipewirePath); refusal.empty()) {
    verdicts.Ok("pipewire", pipewirePath + " accepts connections");
  } else {
    pipewireCause = "PipeWire is not running in the session (" + pipewirePath + ": " + refusal + ")";
    verdicts.Fail("pipewire", pipewireCause);
  }

  if (access(o.agent.c_str(), X_OK) != 0) {
    verdicts.Fail("agent", o.agent + " is missing or not executable: " + strerror(errno) +
                               " (install the sightwell package or name it with --agent)");
    return Finish(verdicts);
  }
  mkdir(o.out.c_str(), 0755);
  char outReal[PATH_MAX];
  if (realpath(o.out.c_str(), outReal) == nullptr) {
    verdicts.Fail("agent", "cannot use the output folder " + o.out + ": " + strerror(errno));
    return Finish(verdicts);
  }
  const std::string out = outReal;
  const std::string logPath = out + "/sightwell.log";
  // The path goes into a quoted preference value.
  if (out.find_first_of("\"\\\n") != std::string::npos) {
    verdicts.Fail("agent", "the output folder's path may not hold quotes, backslashes or newlines");
    return Finish(verdicts);
  }
  // The agent reads its preferences from HOME: a private one sends its log
  // into the output folder, where the check reads it.
  PrivateHome home;
  if (home.Create(logPath) != 0) {
    verdicts.Fail("agent", std::string("cannot create a private home: ") + strerror(errno));
    return Finish(verdicts);
  }
  unlink(logPath.c_str());

  std::string card = "ck" + std::to_string(getpid() % 10000);
  Parent parent(card);
  WavWriter wav;
  AudioLevel level;
  if (!wav.Open(out + "/audio.wav", 48000, 2, 16)) {
    verdicts.Fail("agent", "cannot write " + out + "/audio.wav");
    return Finish(verdicts);
  }
  parent.OnAudio([&](const AudioBlock &b) {
    wav.Append(b.samples);
    level.Add(b.samples);
  });
  if (!parent.Listen() || !parent.WriteSessionFiles(session.bus, session.runtimeDir, session.uid)) {
    verdicts.Fail("agent", "cannot listen on " + parent.SocketPath() + " or write the session files: " +
                               strerror(errno) + " (run the check as root)");
    return Finish(verdicts);
  }
  AgentProcess agent;
  if (StartAgent(o.agent, card, false, {{"HOME", home.path()}}, &agent) != 0) {
    verdicts.Fail("agent", std::string("cannot start the agent: ") + strerror(errno));
    return Finish(verdicts);
  }

  uint32_t greeting = parent.WaitForControl(kGreetingMs);
  const std::string connector =
      !o.connector.empty() ? o.connector : !probe.connector.empty() ? probe.connector : "Meta-0";
  bool echoed = false, audioStarted = false;
  double runSeconds = 0;  // from audio start to stop
  int32_t movedX = -1, movedY = -1;
  if (greeting != 0) {
    parent.SendCaptureStart(connector);
    auto echo = parent.WaitControlRecord(REMOTE_CAPTURE_START, kCaptureEchoMs);
    echoed = echo && echo->status == CHANNEL_STATUS_SUCCESS;
    if (parent.WaitForAudio(kAudioConnectMs)) {
      parent.SendAudioStart();
      auto reply = parent.WaitAudioRecord(REMOTE_AUDIO_START, kAudioStartMs);
      audioStarted = reply && reply->status == CHANNEL_STATUS_SUCCESS;
    }
    auto start = std::chrono::steady_clock::now();
    auto end = start + std::chrono::milliseconds(static_cast<int64_t>(o.seconds * 1000));
    bool moved = !o.input;
    while (std::chrono::steady_clock::now() < end && !agent.exited) {
      if (!moved && std::chrono::steady_clock::now() >= start + (end - start) / 2) {
        // One pixel right and back, from where the cursor metadata says the
        // pointer is (the middle of the frame when it has not said yet).
        auto records = parent.CursorRecords();
        auto frame = parent.LastFrame();
        int32_t x = 0, y = 0;
        if (!records.empty()) {
          x = records.back().record.cursorX;
          y = records.back().record.cursorY;
        } else if (frame) {
          x = static_cast<int32_t>(frame->width / 2);
          y = static_cast<int32_t>(frame->height / 2);
        }
        parent.SendMouse(x + 1, y, 0, 0, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        parent.SendMouse(x, y, 0, 0, 0);
        movedX = x;
        movedY = y;
        moved = true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      WaitAgent(&agent, 0);
    }
    runSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    parent.SendStop();
  }
  bool stoppedByItself = WaitOrKillAgent(&agent, greeting != 0 ? kStopMs : 0);
  parent.EndAudio(2000);  // the reader thread appends to the file until then
  wav.Close();
  Summary s = parent.GetSummary();
  std::vector<std::string> log = ReadLines(logPath);
  auto cause = [&](const std::string &capability, const std::string &preCheck) {
    if (!preCheck.empty()) {
      return preCheck;
    }
    std::string fromLog = CauseFromLog(capability, log);
    return fromLog.empty() ? "no log line explains it; see " + logPath : fromLog;
  };

  if (greeting == REMOTE_INFO_USER) {
    verdicts.Ok("agent", o.agent + " started and greeted (user session)");
  } else if (greeting == REMOTE_INFO_GREETER) {
    verdicts.Fail("agent", "the agent greeted as a login screen, not a user session");
  } else {
    std::string why = agent.exited ? "exited with status " + std::to_string(agent.status) +
                                         " before greeting"
                                   : "no greeting within " + std::to_string(kGreetingMs / 1000) + " s";
    std::string fromLog = CauseFromLog("agent", log);
    verdicts.Fail("agent", why + (fromLog.empty() ? "; see " + logPath : ": " + fromLog));
  }
  if (greeting != 0) {
    std::string captureCause = !compositorCause.empty() ? compositorCause : pipewireCause;
    if (echoed && (s.frames > 0 || (captureCause.empty() && CauseFromLog("screencast", log).empty()))) {
      verdicts.Ok("screencast", "capture started on " + connector);
    } else {
      verdicts.Fail("screencast", (echoed ? "" : "capture start on " + connector + " was refused: ") +
                                      cause("screencast", captureCause));
    }
    if (auto frame = parent.LastFrame(); frame && s.frames > 0) {
      verdicts.Ok("frames", std::to_string(frame->width) + "x" + std::to_string(frame->height) + ", " +
                                std::to_string(s.frames) + " frames, " + Fixed("%.1f fps", s.Fps()) +
                                (s.frames == 1 ? " (an idle screen sends one frame)" : ""));
    } else {
      verdicts.Fail("frames", "no frame arrived: " + cause("frames", captureCause));
    }
    if (s.cursorUpdates > 0) {
      verdicts.Ok("cursor", std::to_string(s.cursorUpdates) + " updates, " +
                                std::to_string(s.cursorBitmaps) + " with a bitmap");
    } else if (!o.input) {
      verdicts.Skip("cursor", "no cursor metadata: nothing moved the pointer (--input moves it)");
    } else {
      verdicts.Fail("cursor", "no cursor metadata arrived although the pointer moved: " +
                                  cause("frames", captureCause));
    }
    std::vector<std::string> resumed;
    for (const auto &line : log) {
      size_t at = line.find(" device resumed");
      size_t from = line.find("sightwellInput: ");
      if (at != std::string::npos && from != std::string::npos && from < at) {
        resumed.push_back(line.substr(from + 16, at - from - 16));
      }
    }
    if (!resumed.empty()) {
      std::string detail = "EIS devices resumed:";
      for (const auto &d : resumed) {
        detail += " " + d;
      }
      if (movedX >= 0) {
        detail += "; pointer moved to " + std::to_string(movedX + 1) + "," + std::to_string(movedY) +
                  " and back";
      }
      verdicts.Ok("input", detail);
    } else {
      verdicts.Fail("input", "no input device was resumed: " + cause("input", inputCause));
    }
    if (audioStarted && s.audioBlocks > 0) {
      verdicts.Ok("audio", Fixed("%.1f blocks/s, ", static_cast<double>(s.audioBlocks) /
                                                         std::max(runSeconds, 1.0)) +
                               level.Describe());
    } else {
      verdicts.Fail("audio", (audioStarted ? "no audio block arrived: " : "audio start failed: ") +
                                 cause("audio", pipewireCause));
    }
    if (LogHas(log, "signal for logout detection") && s.logouts == 0) {
      verdicts.Ok("logout", "the agent watches the session bus for a logout");
    } else {
      verdicts.Fail("logout", s.logouts > 0 ? "the session ended during the check"
                                            : "the agent does not watch the session bus: " +
                                                  cause("logout", probe.answered ? "" : compositorCause));
    }
  }
  if (s.malformed > 0) {
    verdicts.Fail("records", std::to_string(s.malformed) + " malformed record(s) from the agent, the first: " +
                                 Printable(s.firstMalformed));
  }
  if (greeting != 0 && stoppedByItself && agent.status == 0) {
    verdicts.Ok("stop", "the agent exited 0 after REMOTE_STOP");
  } else if (greeting != 0) {
    std::string fromLog = CauseFromLog("stop", log);
    verdicts.Fail("stop", (stoppedByItself ? "the agent exited with status " + std::to_string(agent.status)
                                           : "the agent did not exit within " +
                                                 std::to_string(kStopMs / 1000) + " s of REMOTE_STOP and was killed") +
                              (fromLog.empty() ? "" : ": " + fromLog));
  }

  ReportContent report;
  report.title = "Sightwell host check";
  verdicts.AddTo(&report.lines);
  AddReceivedLines(s, &report.lines);
  report.lines.push_back({"agent exit status", std::to_string(agent.status)});
  report.lines.push_back({"agent log file", logPath});
  report.lines.push_back({"result", verdicts.AllOk() ? "ok" : "FAILED"});
  report.summary = std::move(s);
  if (!WriteArtefacts(out, parent, PixelLayout::BGRx, report, &error)) {
    fprintf(stderr, "sightwell-parent check: %s\n", error.c_str());
  }
  printf("%-11s %s\n", "report", (out + "/report.html").c_str());
  return Finish(verdicts);
}

}  // namespace swparent
