// Audio path benchmark: the agent captures the default sink's monitor of a
// private PipeWire daemon and streams it to the reference parent.
//
// Prints: the block size and rate PipeWire delivers, the latency from a
// tone onset written into the sink to the parent receiving it, and the
// agent's CPU use while it streams audio alone.
//
// The tone comes from this process through the sound library's own playback
// mode, so the onset time is known to the callback that writes it.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "lib/soundlib/soundlib.h"
#include "tests/support/process.h"
#include "tests/support/test_env.h"
#include "tools/sightwell-parent/parent.h"
#include "tools/sightwell-parent/stats.h"

namespace {

constexpr int kOnsets = 20;
constexpr double kToneHz = 1000.0;
constexpr int kToneLevel = 12000;
constexpr int kLoud = 2000;

// Playback side: silence until asked, then a tone; records when the first
// tone samples were handed to PipeWire.
struct Player {
  std::atomic<bool> toneOn{false};
  std::atomic<uint64_t> onsetNs{0};
  uint64_t phase = 0;
};

void PlayerCallback(int32_t event, const void *payload, uint64_t, void *data) {
  if (event != SOUND_EVENT_DATA) return;
  auto *p = static_cast<Player *>(data);
  auto *buf = static_cast<SoundBuffer *>(const_cast<void *>(payload));
  auto *s = static_cast<int16_t *>(buf->data);
  const size_t frames = buf->size / 4;
  const bool on = p->toneOn.load();
  for (size_t i = 0; i < frames; i++) {
    int16_t v = 0;
    if (on) {
      v = static_cast<int16_t>(kToneLevel * std::sin(2 * M_PI * kToneHz * p->phase++ / 48000.0));
    }
    s[2 * i] = v;
    s[2 * i + 1] = v;
  }
  if (on && p->onsetNs.load() == 0) {
    p->onsetNs.store(swparent::MonotonicNs());
  }
  if (!on) p->phase = 0;
}

uint64_t ProcessCpuTicks(pid_t pid) {
  std::string stat = swtest::ReadFile("/proc/" + std::to_string(pid) + "/stat");
  size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  // Fields after the command: state is field 3; utime and stime are 14, 15.
  std::vector<std::string> fields;
  size_t pos = close + 2;
  while (pos < stat.size()) {
    size_t end = stat.find(' ', pos);
    if (end == std::string::npos) end = stat.size();
    fields.push_back(stat.substr(pos, end - pos));
    pos = end + 1;
  }
  if (fields.size() < 13) return 0;
  return std::stoull(fields[11]) + std::stoull(fields[12]);
}

double Median(std::vector<double> v) { return swparent::Percentile(std::move(v), 50); }

}  // namespace

int main(int argc, char **argv) {
  // --smoke: two seconds of streaming and three onsets, for CI.
  const bool smoke = argc > 1 && strcmp(argv[1], "--smoke") == 0;
  const int onsets = smoke ? 3 : kOnsets;
  swtest::TestServices services;
  if (!services.ok()) {
    fprintf(stderr, "audio_path: services failed: %s\n", services.error().c_str());
    return 1;
  }
  services.ApplyToProcess();
  std::string tmp = swtest::MakeTempDir("sw-audio-bench");
  std::string home = tmp + "/home";
  if (system(("mkdir -p '" + home + "/.velmora'").c_str()) != 0) return 1;
  swtest::WriteFile(home + "/.velmora/config",
                    "sightwell.log.fileName = \"" + tmp + "/agent.log\"\n");

  std::mutex lock;
  std::vector<uint64_t> arrivalNs;
  std::vector<uint32_t> blockBytes;
  std::atomic<uint64_t> loudNs{0};
  std::atomic<bool> watchOnset{false};

  swparent::Parent parent(swtest::UniqueCardName());
  parent.OnAudio([&](const swparent::AudioBlock &b) {
    {
      std::lock_guard<std::mutex> hold(lock);
      arrivalNs.push_back(b.receivedNs);
      blockBytes.push_back(b.header.dataBytes);
    }
    if (watchOnset.load() && loudNs.load() == 0) {
      auto *s = reinterpret_cast<const int16_t *>(b.samples.data());
      for (size_t i = 0; i < b.samples.size() / 2; i++) {
        if (std::abs(s[i]) > kLoud) {
          loudNs.store(b.receivedNs);
          break;
        }
      }
    }
  });
  if (!parent.Listen()) return 1;
  swtest::Process::Options opt;
  opt.env = services.env();
  opt.env["QUILLWORKER_CARD"] = parent.card();
  opt.env["HOME"] = home;
  opt.unsetEnv = {"PIPEWIRE_REMOTE", "REMOTE_SESSION_WORKFLOW"};
  auto agent = swtest::Process::Spawn({swtest::AgentBinary()}, opt);
  if (!agent || parent.WaitForControl(10000) == 0 || !parent.WaitForAudio(10000)) {
    fprintf(stderr, "audio_path: agent did not connect\n");
    return 1;
  }
  if (!parent.SendAudioStart()) return 1;
  auto reply = parent.WaitAudioRecord(REMOTE_AUDIO_START, 10000);
  if (!reply || reply->status != CHANNEL_STATUS_SUCCESS) {
    fprintf(stderr, "audio_path: audio start failed\n");
    return 1;
  }

  // 1. Streaming alone (the sink plays silence): block size, rate, CPU.
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  {
    std::lock_guard<std::mutex> hold(lock);
    arrivalNs.clear();
    blockBytes.clear();
  }
  const long ticksPerSec = sysconf(_SC_CLK_TCK);
  uint64_t cpu0 = ProcessCpuTicks(agent->pid());
  auto wall0 = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(smoke ? 2 : 10));
  uint64_t cpu1 = ProcessCpuTicks(agent->pid());
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
  std::vector<uint64_t> arrivals;
  std::vector<uint32_t> sizes;
  {
    std::lock_guard<std::mutex> hold(lock);
    arrivals = arrivalNs;
    sizes = blockBytes;
  }
  std::vector<double> intervalsMs;
  for (size_t i = 1; i < arrivals.size(); i++) {
    intervalsMs.push_back((arrivals[i] - arrivals[i - 1]) / 1e6);
  }
  uint64_t totalBytes = 0;
  for (uint32_t b : sizes) totalBytes += b;
  std::sort(sizes.begin(), sizes.end());
  printf("audio_path: streaming alone for %.1f s\n", wall);
  if (!sizes.empty()) {
    printf("  blocks: %zu (%.1f per second), bytes per block min %u median %u max %u "
           "(%u frames median)\n",
           sizes.size(), sizes.size() / wall, sizes.front(), sizes[sizes.size() / 2],
           sizes.back(), sizes[sizes.size() / 2] / 4);
    printf("  audio rate: %.0f frames/s (%.3f s of audio per s)\n", totalBytes / 4.0 / wall,
           totalBytes / 4.0 / 48000.0 / wall);
  }
  printf("  block interval: median %.2f ms, p99 %.2f ms, max %.2f ms\n", Median(intervalsMs),
         swparent::Percentile(intervalsMs, 99),
         intervalsMs.empty() ? 0.0 : *std::max_element(intervalsMs.begin(), intervalsMs.end()));
  printf("  agent CPU: %.2f %% of one core\n",
         100.0 * static_cast<double>(cpu1 - cpu0) / ticksPerSec / wall);

  // 2. Tone onsets played into the sink by this process.
  SoundBackend *backend = SoundLib_CreateBackendMulti(SOUNDLIB_API_PIPEWIRE, nullptr);
  Player player;
  SoundStream *stream = nullptr;
  const SoundStreamParams playParams = {48000, 16, 16, 2, SOUND_STREAM_MODE_PLAY, 3, 0};
  if (backend == nullptr ||
      !SoundLib_CreateSyncSoundStream(backend, &playParams, 96000, 1, PlayerCallback, &player,
                                      &stream) ||
      !SoundLib_StartSoundStream(stream)) {
    fprintf(stderr, "audio_path: playback stream failed\n");
    return 1;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  std::vector<double> latencyMs;
  for (int i = 0; i < onsets; i++) {
    loudNs = 0;
    player.onsetNs = 0;
    watchOnset = true;
    player.toneOn = true;
    swtest::WaitFor([&] { return loudNs.load() != 0; }, 2000);
    if (loudNs.load() != 0 && player.onsetNs.load() != 0) {
      latencyMs.push_back((static_cast<double>(loudNs.load()) - player.onsetNs.load()) / 1e6);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    player.toneOn = false;
    watchOnset = false;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  SoundLib_DestroyBackend(backend);
  printf("audio_path: tone onset written into the sink -> block at the parent, %zu of %d onsets\n",
         latencyMs.size(), onsets);
  if (!latencyMs.empty()) {
    printf("  latency: min %.1f ms, median %.1f ms, p90 %.1f ms, max %.1f ms\n",
           *std::min_element(latencyMs.begin(), latencyMs.end()), Median(latencyMs),
           swparent::Percentile(latencyMs, 90),
           *std::max_element(latencyMs.begin(), latencyMs.end()));
  }

  swparent::Summary summary = parent.GetSummary();
  printf("audio_path: parent saw %lu blocks, %.1f s of audio, %lu gaps, %lu malformed\n",
         static_cast<unsigned long>(summary.audioBlocks), summary.AudioSeconds(),
         static_cast<unsigned long>(summary.audioGaps),
         static_cast<unsigned long>(summary.malformed));
  parent.SendStop();
  auto rc = agent->Wait(10000);
  printf("audio_path: agent exit status %d\n", rc ? *rc : -1);
  return summary.malformed == 0 ? 0 : 1;
}
