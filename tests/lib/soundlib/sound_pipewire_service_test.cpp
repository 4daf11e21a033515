// The PipeWire back end and the agent's audio start/stop in this process,
// against a private PipeWire daemon and WirePlumber with a null default sink.
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "agent/remote_audio.h"
#include "agent/remote_context.h"
#include "lib/config/preference.h"
#include "lib/misc/unique_fd.h"
#include "lib/soundlib/sound_pipewire.h"
#include "lib/soundlib/soundlib.h"
#include "tests/lib/soundlib/audio_signal.h"
#include "tests/support/process.h"
#include "tests/support/test_env.h"

namespace {

constexpr SoundStreamParams kAgentParams = {48000, 16, 16, 2, SOUND_STREAM_MODE_RECORD_MONITOR, 3,
                                            0};

struct Capture {
  std::mutex lock;
  std::vector<int16_t> samples;
  std::vector<uint64_t> blockBytes;
  int errors = 0;
};

void Collect(int32_t event, const void *payload, uint64_t, void *data) {
  auto *c = static_cast<Capture *>(data);
  std::lock_guard<std::mutex> hold(c->lock);
  if (event == SOUND_EVENT_ERROR) {
    c->errors++;
    return;
  }
  auto *buf = static_cast<const SoundBuffer *>(payload);
  auto *p = static_cast<const int16_t *>(buf->data);
  c->samples.insert(c->samples.end(), p, p + buf->size / 2);
  c->blockBytes.push_back(buf->size);
}

// One set of services for the suite (starting and stopping them is the
// slow part); the test that kills the daemon has its own.
class SoundPipewireServiceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { shared_ = new swtest::TestServices; }
  static void TearDownTestSuite() {
    delete shared_;
    shared_ = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(services().ok()) << services().error();
    services().ApplyToProcess();
    tmp_ = swtest::MakeTempDir("sw-audio");
  }
  virtual swtest::TestServices &services() { return *shared_; }

  std::unique_ptr<swtest::Process> Play(const std::string &wav) {
    swtest::Process::Options opt;
    opt.env = services().env();
    opt.unsetEnv = {"PIPEWIRE_REMOTE"};
    return swtest::Process::Spawn({"/usr/bin/pw-play", wav}, opt);
  }

  static swtest::TestServices *shared_;
  std::string tmp_;
};

swtest::TestServices *SoundPipewireServiceTest::shared_ = nullptr;

TEST_F(SoundPipewireServiceTest, ToneIsCapturedFromTheDefaultSinkMonitor) {
  Preference_InitNoUser();
  Preference_SetNonPersistent("displayName=Sightwell Test Desk", true);

  SoundBackend *backend = SoundLib_CreateBackendMulti(SOUNDLIB_API_PIPEWIRE, nullptr);
  ASSERT_NE(backend, nullptr);
  Capture cap;
  SoundStream *stream = nullptr;
  ASSERT_TRUE(
      SoundLib_CreateSyncSoundStream(backend, &kAgentParams, 96000, 1, Collect, &cap, &stream));
  ASSERT_TRUE(SoundLib_StartSoundStream(stream));

  // Negotiation gives exactly the one offered format.
  spa_audio_info_raw fmt{};
  ASSERT_TRUE(swtest::WaitFor([&] { return SoundPipewireGetNegotiatedFormat(stream, &fmt); }, 5000));
  EXPECT_EQ(fmt.format, SPA_AUDIO_FORMAT_S16_LE);
  EXPECT_EQ(fmt.rate, 48000u);
  EXPECT_EQ(fmt.channels, 2u);

  // The stream carries the display name as its application name.
  swtest::Process::Options opt;
  opt.env = services().env();
  auto dump = swtest::Process::Spawn({"/usr/bin/pw-dump"}, opt);
  ASSERT_TRUE(dump->Wait(10000).has_value());
  std::string out = dump->Stdout();
  EXPECT_NE(out.find("\"application.name\": \"Sightwell Test Desk\""), std::string::npos);
  EXPECT_NE(out.find("\"media.name\": \"soundlib-pipewire\""), std::string::npos);

  std::string wav = tmp_ + "/tone.wav";
  ASSERT_TRUE(swaudio::WriteToneWav(wav, 440.0, 16384, 1000));
  auto player = Play(wav);
  ASSERT_TRUE(player->Wait(15000).has_value());
  std::this_thread::sleep_for(std::chrono::milliseconds(200));

  SoundLib_StopSoundStream(stream);
  EXPECT_EQ(SoundLib_GetStreamState(stream), SOUND_STREAM_STOPPED);
  size_t blocksAtStop;
  {
    std::lock_guard<std::mutex> hold(cap.lock);
    blocksAtStop = cap.blockBytes.size();
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  SoundLib_DestroySoundStream(stream);
  SoundLib_DestroyBackend(backend);

  std::lock_guard<std::mutex> hold(cap.lock);
  EXPECT_EQ(cap.blockBytes.size(), blocksAtStop);  // nothing after stop
  EXPECT_EQ(cap.errors, 0);
  for (uint64_t b : cap.blockBytes) {
    ASSERT_EQ(b % 4, 0u);
  }
  swaudio::ToneAnalysis a = swaudio::AnalyseTone(cap.samples);
  EXPECT_NEAR(a.loudFrames, 48000, 2400);
  EXPECT_NEAR(a.frequencyHz, 440.0, 2.0);
  EXPECT_NEAR(a.peakLeft, 16384, 400);
  EXPECT_NEAR(a.peakRight, 16384, 400);
  Preference_Exit();
}

TEST_F(SoundPipewireServiceTest, BackEndsShareOneLibraryLoad) {
  SoundBackend *first = SoundLib_CreateBackendMulti(SOUNDLIB_API_PIPEWIRE, nullptr);
  ASSERT_NE(first, nullptr);
  SoundPipewireLoaderInfo one = SoundPipewireGetLoaderInfo();
  EXPECT_EQ(one.loadState, 2);
  EXPECT_EQ(one.refCount, 1u);
  SoundBackend *second = SoundLib_CreateBackendMulti(SOUNDLIB_API_PIPEWIRE, "some-device");
  ASSERT_NE(second, nullptr);
  SoundPipewireLoaderInfo two = SoundPipewireGetLoaderInfo();
  EXPECT_EQ(two.refCount, 2u);
  EXPECT_EQ(two.handle, one.handle);

  // The second back end still works after the first is gone.
  SoundLib_DestroyBackend(first);
  EXPECT_EQ(SoundPipewireGetLoaderInfo().loadState, 2);
  EXPECT_EQ(SoundPipewireGetLoaderInfo().refCount, 1u);
  Capture cap;
  SoundStream *stream = nullptr;
  ASSERT_TRUE(
      SoundLib_CreateSyncSoundStream(second, &kAgentParams, 96000, 1, Collect, &cap, &stream));
  EXPECT_TRUE(SoundLib_StartSoundStream(stream));
  // Destroying the back end stops and destroys its stream too.
  SoundLib_DestroyBackend(second);
  SoundPipewireLoaderInfo none = SoundPipewireGetLoaderInfo();
  EXPECT_EQ(none.loadState, 0);
  EXPECT_EQ(none.refCount, 0u);

  // Loading again starts afresh.
  SoundBackend *again = SoundLib_CreateBackendMulti(SOUNDLIB_API_PIPEWIRE, nullptr);
  ASSERT_NE(again, nullptr);
  SoundLib_DestroyBackend(again);
}

TEST_F(SoundPipewireServiceTest, RefusedFormatAndMissingDaemonFailTheStartWithAnErrorEvent) {
  SoundBackend *backend = SoundLib_CreateBackendMulti(SOUNDLIB_API_PIPEWIRE, nullptr);
  ASSERT_NE(backend, nullptr);

  // Accepted by SoundLib, refused by the back end.
  SoundStreamParams wide = kAgentParams;
  wide.containerSize = 24;
  Capture cap;
  SoundStream *stream = nullptr;
  ASSERT_TRUE(SoundLib_CreateSyncSoundStream(backend, &wide, 96000, 1, Collect, &cap, &stream));
  EXPECT_FALSE(SoundLib_StartSoundStream(stream));
  EXPECT_EQ(SoundLib_GetStreamState(stream), SOUND_STREAM_STOPPED);
  EXPECT_EQ(cap.errors, 1);
  SoundLib_DestroySoundStream(stream);

  // No daemon to connect to: fails, torn down, and may be started again.
  std::string empty = tmp_ + "/no-daemon";
  mkdir(empty.c_str(), 0700);
  setenv("XDG_RUNTIME_DIR", empty.c_str(), 1);
  ASSERT_TRUE(
      SoundLib_CreateSyncSoundStream(backend, &kAgentParams, 96000, 1, Collect, &cap, &stream));
  EXPECT_FALSE(SoundLib_StartSoundStream(stream));
  EXPECT_EQ(cap.errors, 2);
  services().ApplyToProcess();
  EXPECT_TRUE(SoundLib_StartSoundStream(stream));
  SoundLib_DestroyBackend(backend);
}

TEST_F(SoundPipewireServiceTest, PausedStreamResumesAndIsReleasedOnDestroy) {
  SoundBackend *backend = SoundLib_CreateBackendMulti(SOUNDLIB_API_PIPEWIRE, nullptr);
  ASSERT_NE(backend, nullptr);
  Capture cap;
  SoundStream *stream = nullptr;
  ASSERT_TRUE(
      SoundLib_CreateSyncSoundStream(backend, &kAgentParams, 96000, 1, Collect, &cap, &stream));
  ASSERT_TRUE(SoundLib_StartSoundStream(stream));
  ASSERT_TRUE(swtest::WaitFor([&] {
    std::lock_guard<std::mutex> hold(cap.lock);
    return cap.blockBytes.size() > 5;
  }, 5000));
  stream->ops->pause(stream);
  stream->state = SOUND_STREAM_PAUSED;
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  size_t paused;
  {
    std::lock_guard<std::mutex> hold(cap.lock);
    paused = cap.blockBytes.size();
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  {
    std::lock_guard<std::mutex> hold(cap.lock);
    EXPECT_EQ(cap.blockBytes.size(), paused);
  }
  ASSERT_TRUE(SoundLib_StartSoundStream(stream));
  ASSERT_TRUE(swtest::WaitFor([&] {
    std::lock_guard<std::mutex> hold(cap.lock);
    return cap.blockBytes.size() > paused + 5;
  }, 5000));
  // Paused again, then destroyed: its loop thread and PipeWire objects go too.
  stream->ops->pause(stream);
  stream->state = SOUND_STREAM_PAUSED;
  SoundLib_DestroySoundStream(stream);
  SoundLib_DestroyBackend(backend);
  EXPECT_EQ(SoundPipewireGetLoaderInfo().loadState, 0);
}

TEST_F(SoundPipewireServiceTest, AudioStartTwiceAnswersSuccessAndChangesNothing) {
  RemoteContext ctx;
  ASSERT_EQ(ctx.audio.StartAudioCapture(), CHANNEL_STATUS_SUCCESS);
  // Forwarding waits for the routine's echo, which sets audioRunning.
  EXPECT_FALSE(ctx.audio.running());
  ctx.audio.BeginForwarding();
  const SoundStream *stream = ctx.audio.stream();
  const SoundBackend *backend = ctx.audio.backend();
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(ctx.audio.StartAudioCapture(), CHANNEL_STATUS_SUCCESS);
  EXPECT_EQ(ctx.audio.stream(), stream);
  EXPECT_EQ(ctx.audio.backend(), backend);
  ctx.audio.StopAudioCapture();
  EXPECT_FALSE(ctx.audio.running());
  EXPECT_EQ(ctx.audio.stream(), nullptr);
  EXPECT_EQ(ctx.audio.backend(), nullptr);
  ctx.audio.StopAudioCapture();  // not running: nothing
}

class AudioStartWithoutDaemonTest : public SoundPipewireServiceTest {
 protected:
  static void SetUpTestSuite() {}
  static void TearDownTestSuite() {}
  swtest::TestServices &services() override { return own_; }
  swtest::TestServices own_;
};

// The start is driven as the routine drives it: the command arrives on the
// audio socket, and the recovery timer paces the attempts after the first.
TEST_F(AudioStartWithoutDaemonTest, FailsAfterTenAttempts) {
  ASSERT_TRUE(services().Kill("wireplumber"));
  ASSERT_TRUE(services().Kill("pipewire"));
  RemoteContext ctx;
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
  ctx.audio.AdoptSocket(UniqueFd(sv[0]));
  ASSERT_TRUE(ctx.audio.OpenAudioRecoveryTimer());
  ChannelMessage start{};
  start.type = REMOTE_AUDIO_START;
  // Fires of the timer until the echo arrives on the parent's end; -1 when
  // the timer stayed silent while a start was pending.
  auto serveUntilEcho = [&](ChannelMessage *reply) {
    int fires = 0;
    while (ctx.audio.AudioStartPending()) {
      pollfd p{ctx.audio.audioRetryFd(), POLLIN, 0};
      if (poll(&p, 1, 5000) != 1) return -1;
      ctx.audio.ServeAudioRecovery();
      fires++;
    }
    pollfd p{sv[1], POLLIN, 0};
    if (poll(&p, 1, 0) != 1 || recv(sv[1], reply, sizeof *reply, MSG_DONTWAIT) != sizeof *reply) {
      return -1;
    }
    return fires;
  };

  ASSERT_EQ(send(sv[1], &start, sizeof start, 0), static_cast<ssize_t>(sizeof start));
  auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(ctx.audio.ServeAudioSocket());
  // The first attempt failed, and the routine is free again: no echo yet.
  EXPECT_TRUE(ctx.audio.AudioStartPending());
  char byte;
  EXPECT_EQ(recv(sv[1], &byte, 1, MSG_DONTWAIT), -1);
  ChannelMessage reply{};
  EXPECT_EQ(serveUntilEcho(&reply), 9);
  double sec = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_GT(sec, 4.4);  // nine pauses of 500 ms
  EXPECT_EQ(reply.type, static_cast<uint32_t>(REMOTE_AUDIO_START));
  EXPECT_EQ(reply.status, static_cast<uint32_t>(CHANNEL_STATUS_FAILED));
  EXPECT_FALSE(ctx.audio.running());
  EXPECT_EQ(ctx.audio.stream(), nullptr);
  EXPECT_EQ(ctx.audio.backend(), nullptr);
  EXPECT_EQ(SoundPipewireGetLoaderInfo().loadState, 0);
  itimerspec left{};
  ASSERT_EQ(timerfd_gettime(ctx.audio.audioRetryFd(), &left), 0);
  EXPECT_EQ(left.it_value.tv_sec + left.it_value.tv_nsec, 0);

  // A stop request ends the attempts: at once before the first, and at the
  // next fire of the timer for a start already pending.
  // (The stop flag is never cleared, so the first case has a context of
  // its own.)
  UniqueFd waker(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  RemoteContext stopped;
  stopped.agentStopping.RequestStop(waker.get());
  EXPECT_EQ(stopped.audio.StartAudioCapture(), CHANNEL_STATUS_FAILED);
  EXPECT_FALSE(stopped.audio.AudioStartPending());
  ASSERT_EQ(send(sv[1], &start, sizeof start, 0), static_cast<ssize_t>(sizeof start));
  ASSERT_TRUE(ctx.audio.ServeAudioSocket());
  ASSERT_TRUE(ctx.audio.AudioStartPending());
  ctx.agentStopping.RequestStop(waker.get());
  EXPECT_EQ(serveUntilEcho(&reply), 1);
  EXPECT_EQ(reply.status, static_cast<uint32_t>(CHANNEL_STATUS_FAILED));
  close(sv[1]);
}

}  // namespace
