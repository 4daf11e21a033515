// ForwardAudioBlock against a socket pair standing in for the parent's
// audio connection: exact headers, whole blocks only, and no write after the
// main thread has closed the socket.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "agent/remote_audio.h"
#include "base/stop_token.h"
#include "lib/misc/unique_fd.h"
#include "lib/soundlib/soundlib.h"

namespace {

// Everything currently readable on fd without waiting.
std::vector<uint8_t> Drain(int fd) {
  std::vector<uint8_t> out;
  uint8_t buf[65536];
  for (;;) {
    ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n <= 0) {
      break;
    }
    out.insert(out.end(), buf, buf + n);
  }
  return out;
}

struct Block {
  AudioDataHeader header;
  std::vector<uint8_t> samples;
};

// Splits a byte stream into blocks; false when it is not whole blocks.
bool ParseBlocks(const std::vector<uint8_t> &bytes, std::vector<Block> *blocks) {
  size_t pos = 0;
  while (pos < bytes.size()) {
    if (bytes.size() - pos < sizeof(AudioDataHeader)) {
      return false;
    }
    Block b;
    memcpy(&b.header, bytes.data() + pos, sizeof b.header);
    pos += sizeof b.header;
    if (b.header.type != REMOTE_AUDIO_DATA || bytes.size() - pos < b.header.dataBytes) {
      return false;
    }
    b.samples.assign(bytes.begin() + pos, bytes.begin() + pos + b.header.dataBytes);
    pos += b.header.dataBytes;
    blocks->push_back(std::move(b));
  }
  return true;
}

class ForwardAudioBlockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv_), 0);
    fcntl(sv_[0], F_SETFL, fcntl(sv_[0], F_GETFL) | O_NONBLOCK);
    audio_.AdoptSocket(UniqueFd(sv_[0]));
    audio_.BeginForwarding();
  }
  void TearDown() override { close(sv_[1]); }
  void Forward(std::vector<uint8_t> &samples) {
    SoundBuffer buf{samples.data(), samples.size()};
    ForwardAudioBlock(SOUND_EVENT_DATA, &buf, sizeof buf, &audio_);
  }

  int sv_[2] = {-1, -1};
  StopToken stopping_;
  AudioForwarder audio_{stopping_};
};

TEST_F(ForwardAudioBlockTest, OneBufferBecomesOneExactBlock) {
  std::vector<uint8_t> samples(4096);
  for (size_t i = 0; i < samples.size(); i++) samples[i] = static_cast<uint8_t>(i * 7);
  Forward(samples);
  std::vector<uint8_t> bytes = Drain(sv_[1]);
  ASSERT_EQ(bytes.size(), 4136u);
  AudioDataHeader h;
  memcpy(&h, bytes.data(), sizeof h);
  EXPECT_EQ(h.type, 13u);
  EXPECT_EQ(h.sampleRate, 48000u);
  EXPECT_EQ(h.bitsPerSample, 16u);
  EXPECT_EQ(h.containerBits, 16u);
  EXPECT_EQ(h.channels, 2u);
  EXPECT_EQ(h.dataBytes, 4096u);
  for (uint8_t b : h.unused20) EXPECT_EQ(b, 0);
  for (uint8_t b : h.unused36) EXPECT_EQ(b, 0);
  EXPECT_EQ(memcmp(bytes.data() + 40, samples.data(), samples.size()), 0);
}

TEST_F(ForwardAudioBlockTest, WritesNothingWhenThereIsNothingToSend) {
  std::vector<uint8_t> samples(64, 1);
  SoundBuffer buf{samples.data(), samples.size()};
  const uint32_t one = 1;
  ForwardAudioBlock(SOUND_EVENT_ERROR, &one, sizeof one, &audio_);
  ForwardAudioBlock(SOUND_EVENT_DATA, nullptr, sizeof buf, &audio_);
  ForwardAudioBlock(SOUND_EVENT_DATA, &buf, sizeof buf, nullptr);
  SoundBuffer noData{nullptr, 64};
  ForwardAudioBlock(SOUND_EVENT_DATA, &noData, sizeof noData, &audio_);
  SoundBuffer empty{samples.data(), 0};
  ForwardAudioBlock(SOUND_EVENT_DATA, &empty, sizeof empty, &audio_);
  audio_.StopAudioCapture();  // stopped: blocks still in flight are dropped
  Forward(samples);
  audio_.BeginForwarding();
  audio_.CloseSocket();
  Forward(samples);
  EXPECT_TRUE(Drain(sv_[1]).empty());
}

TEST_F(ForwardAudioBlockTest, FullSocketDropsWholeBlocksAndKeepsFraming) {
  // The parent stops reading: keep producing far past the socket buffer.
  std::vector<uint8_t> samples(3840);
  for (int i = 0; i < 400; i++) {
    samples[0] = static_cast<uint8_t>(i);
    Forward(samples);
  }
  // It reads again: everything queued is whole blocks, and capture went on.
  std::vector<uint8_t> bytes = Drain(sv_[1]);
  std::vector<Block> blocks;
  ASSERT_TRUE(ParseBlocks(bytes, &blocks));
  ASSERT_GT(blocks.size(), 0u);
  ASSERT_LT(blocks.size(), 400u);
  samples[0] = 0xEE;
  Forward(samples);
  bytes = Drain(sv_[1]);
  blocks.clear();
  ASSERT_TRUE(ParseBlocks(bytes, &blocks));
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(blocks[0].samples[0], 0xEE);
}

TEST_F(ForwardAudioBlockTest, BlockLargerThanSocketBufferGoesOutWholeOrEndsTheConnection) {
  int small = 4096;
  ASSERT_EQ(setsockopt(audio_.audioFd(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
  std::vector<uint8_t> samples(256 * 1024);
  for (size_t i = 0; i < samples.size(); i++) samples[i] = static_cast<uint8_t>(i >> 8);

  // A reader that keeps up: the block completes despite partial writes.
  std::vector<uint8_t> got;
  std::thread reader([&] {
    uint8_t buf[8192];
    for (;;) {  // until nothing more arrives for a while
      pollfd p{sv_[1], POLLIN, 0};
      if (poll(&p, 1, 300) <= 0) break;
      ssize_t n = recv(sv_[1], buf, sizeof buf, 0);
      if (n <= 0) break;
      got.insert(got.end(), buf, buf + n);
    }
  });
  Forward(samples);
  reader.join();
  std::vector<Block> blocks;
  ASSERT_TRUE(ParseBlocks(got, &blocks));
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(blocks[0].samples, samples);

  // A parent that does not read at all: the connection is ended rather than
  // left with a torn block, and the parent sees end of stream after it.
  Forward(samples);
  std::vector<uint8_t> partial;
  uint8_t buf[65536];
  ssize_t n;
  while ((n = recv(sv_[1], buf, sizeof buf, 0)) > 0) {
    partial.insert(partial.end(), buf, buf + n);
  }
  EXPECT_EQ(n, 0);  // end of stream, not a hang
  EXPECT_GT(partial.size(), 0u);
  EXPECT_LT(partial.size(), 40 + samples.size());
}

TEST_F(ForwardAudioBlockTest, NoWriteReachesAClosedOrReusedDescriptor) {
  // The data thread forwards continuously while the main thread drops the
  // socket the way the remote routine does and a new socket pair
  // immediately takes the freed descriptor number.
  std::atomic<bool> stop{false};
  std::thread data([&] {
    std::vector<uint8_t> samples(256, 3);
    while (!stop.load()) Forward(samples);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  int oldFd = audio_.audioFd();
  audio_.CloseSocket();
  int other[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, other), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  stop = true;
  data.join();
  EXPECT_TRUE(other[0] == oldFd || other[1] == oldFd);  // the number was reused
  EXPECT_TRUE(Drain(other[0]).empty());
  EXPECT_TRUE(Drain(other[1]).empty());
  close(other[0]);
  close(other[1]);
  std::vector<Block> blocks;
  EXPECT_TRUE(ParseBlocks(Drain(sv_[1]), &blocks));
}

TEST_F(ForwardAudioBlockTest, CommandArrivingInPiecesIsServedOnceWholeAndATornOneEndsTheSocket) {
  // The routine reads the audio socket without waiting: a record comes in
  // as its bytes arrive, possibly over several wake-ups.
  ChannelMessage stop{};
  stop.type = REMOTE_AUDIO_STOP;
  const auto *bytes = reinterpret_cast<const uint8_t *>(&stop);
  const size_t cuts[] = {0, 3, 500, sizeof stop};
  for (int i = 0; i < 3; i++) {
    EXPECT_TRUE(audio_.running());
    size_t len = cuts[i + 1] - cuts[i];
    ASSERT_EQ(send(sv_[1], bytes + cuts[i], len, 0), static_cast<ssize_t>(len));
    EXPECT_TRUE(audio_.ServeAudioSocket());
  }
  EXPECT_FALSE(audio_.running());  // the stop was served, once whole
  EXPECT_EQ(audio_.partialCommandBytes(), 0u);
  EXPECT_TRUE(audio_.ServeAudioSocket());  // a wake-up with nothing to read changes nothing

  // Half a record, then the parent goes away: the socket is to be dropped.
  ASSERT_EQ(send(sv_[1], bytes, 100, 0), 100);
  EXPECT_TRUE(audio_.ServeAudioSocket());
  shutdown(sv_[1], SHUT_WR);
  EXPECT_FALSE(audio_.ServeAudioSocket());
  EXPECT_EQ(audio_.partialCommandBytes(), 0u);
}

}  // namespace
