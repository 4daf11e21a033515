// Frame path benchmark: the fake compositor produces frames, the agent
// captures them and the reference parent reads them. Per case it reports
// delivered frames per second and drops, capture-to-parent latency from the
// stamp in the pixels, the agent's CPU time per frame and resident memory;
// beside it the floor (the frame copies the agent's design makes plus one
// socket write, done in this process on the same size) and GStreamer's
// pipewiresrc ! fakesink on the same node. --smoke runs one short small case.
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "agent/channel_message.h"
#include "tests/support/process.h"
#include "tests/support/test_env.h"
#include "tools/sightwell-parent/frame_stamp.h"
#include "tools/sightwell-parent/parent.h"

namespace {

struct Case {
  uint32_t width;
  uint32_t height;
  uint32_t fps;  // 1000 = as fast as it can
  int seconds;
};

// CPU seconds (user + system) of a process, from /proc.
double ProcessCpuSeconds(pid_t pid) {
  std::string stat = swtest::ReadFile("/proc/" + std::to_string(pid) + "/stat");
  size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  unsigned long utime = 0, stime = 0;
  // Fields after the command: state is field 3; utime 14, stime 15.
  const char *p = stat.c_str() + close + 2;
  int field = 3;
  while (*p != '\0' && field < 14) {
    if (*p++ == ' ') field++;
  }
  sscanf(p, "%lu %lu", &utime, &stime);
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long RssKiB(pid_t pid) {
  std::string status = swtest::ReadFile("/proc/" + std::to_string(pid) + "/status");
  size_t at = status.find("VmRSS:");
  return at == std::string::npos ? 0 : atol(status.c_str() + at + 6);
}

double ThreadCpuNs() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e9 + ts.tv_nsec;
}

// The floor: PipeWire buffer -> queue slot -> consumer record (two copies)
// and one gather write of record + pixels to a socket someone drains.
double FloorCpuNsPerFrame(uint32_t width, uint32_t height, int frames) {
  const size_t bytes = size_t{width} * height * 4;
  std::vector<uint8_t> source(bytes, 0x5A), slot(bytes), record(bytes);
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return 0;
  std::thread drain([fd = sv[1]] {
    std::vector<uint8_t> sink(1 << 20);
    while (read(fd, sink.data(), sink.size()) > 0) {
    }
  });
  ChannelMessage message{};
  message.type = REMOTE_SCREEN_BUFFER;
  double spent = 0;
  for (int i = 0; i < frames; i++) {
    source[i % bytes] = static_cast<uint8_t>(i);
    const double begin = ThreadCpuNs();
    memcpy(slot.data(), source.data(), bytes);
    memcpy(record.data(), slot.data(), bytes);
    iovec parts[2] = {{&message, sizeof message}, {record.data(), bytes}};
    size_t left = sizeof message + bytes;
    int first = 0;
    while (left > 0) {
      ssize_t n = writev(sv[0], parts + first, 2 - first);
      if (n <= 0) break;
      left -= static_cast<size_t>(n);
      while (first < 2 && static_cast<size_t>(n) >= parts[first].iov_len) {
        n -= static_cast<ssize_t>(parts[first].iov_len);
        first++;
      }
      if (first < 2) {
        parts[first].iov_base = static_cast<uint8_t *>(parts[first].iov_base) + n;
        parts[first].iov_len -= static_cast<size_t>(n);
      }
    }
    spent += ThreadCpuNs() - begin;
  }
  close(sv[0]);
  drain.join();
  close(sv[1]);
  return spent / frames;
}

uint32_t LastCounter(swparent::Parent &parent) {
  auto frame = parent.LastFrame();
  if (!frame) return 0;
  auto stamp = swstamp::Read(frame->pixels.data(), frame->pixels.size());
  return stamp ? stamp->counter : 0;
}

bool RunCase(const swtest::TestServices &services, const std::string &dir, const Case &c) {
  char label[64];
  snprintf(label, sizeof label, "%ux%u %s", c.width, c.height,
           c.fps >= 1000 ? "max rate" : (std::to_string(c.fps) + " fps").c_str());

  swtest::Process::Options copts;
  copts.env = services.env();
  copts.stdoutPath = dir + "/compositor.out";
  copts.stderrPath = dir + "/compositor.err";
  auto compositor = swtest::Process::Spawn(
      {swtest::FakeCompositorBinary(), "--sc-width=" + std::to_string(c.width),
       "--sc-height=" + std::to_string(c.height), "--sc-fps=" + std::to_string(c.fps),
       "--sc-shape-period=60"},
      copts);
  if (!compositor || !swtest::WaitFor([&] { return compositor->Stdout().find("ready") != std::string::npos; }, 10000)) {
    fprintf(stderr, "fake compositor did not start\n");
    return false;
  }
  swparent::Parent parent(swtest::UniqueCardName());
  if (!parent.Listen() || !parent.WriteSessionFiles(services.Get("DBUS_SESSION_BUS_ADDRESS"),
                                                    services.Get("XDG_RUNTIME_DIR"), getuid())) {
    fprintf(stderr, "parent set-up failed\n");
    return false;
  }
  swtest::Process::Options aopts;
  aopts.env = services.env();
  aopts.env["QUILLWORKER_CARD"] = parent.card();
  aopts.stdoutPath = dir + "/agent.out";
  aopts.stderrPath = dir + "/agent.err";
  auto agent = swtest::Process::Spawn({swtest::AgentBinary()}, aopts);
  if (!agent || parent.WaitForControl(10000) == 0 || !parent.SendCaptureStart("Meta-0")) {
    fprintf(stderr, "agent did not connect\n");
    return false;
  }
  if (!swtest::WaitFor([&] { return parent.GetSummary().frames >= 5; }, 20000)) {
    fprintf(stderr, "%s: no frames reached the parent (see %s)\n", label, dir.c_str());
    return false;
  }

  // The peer reads the same node while the agent does.
  std::string out = compositor->Stdout();
  size_t at = out.rfind("screencast node ");
  unsigned node = at == std::string::npos ? 0 : static_cast<unsigned>(atoi(out.c_str() + at + 16));
  swtest::Process::Options gopts;
  gopts.env = services.env();
  gopts.stdoutPath = dir + "/gst.out";
  gopts.stderrPath = dir + "/gst.err";
  auto gst = swtest::Process::Spawn({"/usr/bin/gst-launch-1.0", "-q", "pipewiresrc", "path=" + std::to_string(node),
                                     "always-copy=false", "!", "fakesink", "sync=false"},
                                    gopts);
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));  // warm-up

  swparent::Summary before = parent.GetSummary();
  const uint32_t counterBefore = LastCounter(parent);
  const double agentCpuBefore = ProcessCpuSeconds(agent->pid());
  const double gstCpuBefore = gst ? ProcessCpuSeconds(gst->pid()) : 0;
  const auto begin = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(c.seconds));
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  swparent::Summary after = parent.GetSummary();
  const uint32_t counterAfter = LastCounter(parent);
  const double agentCpu = ProcessCpuSeconds(agent->pid()) - agentCpuBefore;
  const double gstCpu = gst ? ProcessCpuSeconds(gst->pid()) - gstCpuBefore : 0;
  const long rss = RssKiB(agent->pid());

  const uint64_t delivered = after.frames - before.frames;
  const uint64_t produced = counterAfter > counterBefore ? counterAfter - counterBefore : 0;
  const uint64_t drops = produced > delivered ? produced - delivered : 0;
  std::vector<double> latency(after.frameLatencyMs.begin() + static_cast<long>(before.frameLatencyMs.size()),
                              after.frameLatencyMs.end());
  const double p50 = swparent::Percentile(latency, 50);
  const double p99 = swparent::Percentile(latency, 99);
  const double agentMsPerFrame = delivered > 0 ? agentCpu * 1e3 / static_cast<double>(delivered) : 0;
  const double gstMsPerFrame = produced > 0 ? gstCpu * 1e3 / static_cast<double>(produced) : 0;
  const double floorMs = FloorCpuNsPerFrame(c.width, c.height, 30) / 1e6;

  printf("%-20s delivered %6.1f fps (%llu frames, produced %llu, drops %llu)  latency p50 %.2f ms p99 %.2f ms\n",
         label, static_cast<double>(delivered) / wall, static_cast<unsigned long long>(delivered),
         static_cast<unsigned long long>(produced), static_cast<unsigned long long>(drops), p50, p99);
  printf("%-20s agent CPU %.3f ms/frame, RSS %ld KiB; floor %.3f ms/frame; gstreamer %.3f ms/frame\n",
         "", agentMsPerFrame, rss, floorMs, gstMsPerFrame);
  printf("%-20s ratios: agent/floor %.2f  agent/gstreamer %.2f\n", "",
         floorMs > 0 ? agentMsPerFrame / floorMs : 0, gstMsPerFrame > 0 ? agentMsPerFrame / gstMsPerFrame : 0);
  fflush(stdout);

  if (gst) {
    gst->Signal(SIGINT);
    if (!gst->Wait(3000)) gst->Signal(SIGKILL);
  }
  parent.SendStop();
  if (!agent->Wait(10000)) agent->Signal(SIGKILL);
  compositor->Signal(SIGTERM);
  compositor->Wait(5000);
  return delivered > 0;
}

}  // namespace

int main(int argc, char **argv) {
  const bool smoke = argc > 1 && strcmp(argv[1], "--smoke") == 0;
  swtest::TestServices services;
  if (!services.ok()) {
    fprintf(stderr, "services: %s\n", services.error().c_str());
    return 1;
  }
  std::string dir = swtest::MakeTempDir("sw-frame-bench");
  std::vector<Case> cases;
  if (smoke) {
    cases = {{320, 240, 30, 2}};
  } else {
    cases = {{1920, 1080, 1000, 5}, {1920, 1080, 60, 5}, {3840, 2160, 1000, 5}, {3840, 2160, 60, 5}};
  }
  printf("frame path: fake compositor -> agent -> reference parent (%s)\n", dir.c_str());
  bool ok = true;
  for (const Case &c : cases) {
    ok = RunCase(services, dir, c) && ok;
  }
  return ok ? 0 : 1;
}
