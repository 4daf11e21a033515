#include "tools/sightwell-parent/parent.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "tests/support/test_env.h"
#include "tools/sightwell-parent/frame_stamp.h"
#include "tools/sightwell-parent/wav_writer.h"

namespace {

// Plays the agent's side of a connection with raw writes.
class FakeAgentSocket {
 public:
  explicit FakeAgentSocket(const std::string &path) {
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    connected_ = connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
  }
  ~FakeAgentSocket() { close(fd_); }
  bool connected() const { return connected_; }
  void Write(const void *data, size_t len) {
    ASSERT_EQ(send(fd_, data, len, MSG_NOSIGNAL), static_cast<ssize_t>(len));
  }
  void WriteRecord(const ChannelMessage &m) { Write(&m, sizeof m); }
  bool ReadRecord(ChannelMessage *m) { return recv(fd_, m, sizeof *m, MSG_WAITALL) == sizeof *m; }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

TEST(ReferenceParent, ReadsFramesCursorsAndRepliesOnTheControlSocket) {
  swparent::Parent parent(swtest::UniqueCardName());
  ASSERT_TRUE(parent.Listen());
  FakeAgentSocket agent(parent.SocketPath());
  ASSERT_TRUE(agent.connected());
  agent.WriteRecord(swparent::MakeRecord(REMOTE_INFO_USER));
  ASSERT_EQ(parent.WaitForControl(2000), static_cast<uint32_t>(REMOTE_INFO_USER));

  // Two stamped frames, the second one skipping a counter value.
  for (uint32_t counter : {7u, 9u}) {
    ChannelMessage m = swparent::MakeRecord(REMOTE_SCREEN_BUFFER);
    strcpy(m.screenConnector, "Meta-0");
    m.screenWidth = 8;
    m.screenHeight = 2;
    m.screenBytes = 8 * 2 * 4;
    std::vector<uint8_t> pixels(m.screenBytes, 0x55);
    swstamp::Write(pixels.data(), counter, swparent::MonotonicNs());
    agent.WriteRecord(m);
    agent.Write(pixels.data(), pixels.size());
  }
  ChannelMessage cursor = swparent::MakeRecord(REMOTE_CURSOR_BUFFER);
  cursor.cursorWidth = 2;
  cursor.cursorHeight = 2;
  cursor.cursorBytes = 16;
  cursor.cursorId = 3;
  agent.WriteRecord(cursor);
  uint8_t bitmap[16] = {1, 2, 3, 4};
  agent.Write(bitmap, sizeof bitmap);
  cursor.cursorBytes = 0;  // position-only update
  agent.WriteRecord(cursor);

  ASSERT_TRUE(parent.SendCaptureStart("Meta-0"));
  ChannelMessage command;
  ASSERT_TRUE(agent.ReadRecord(&command));
  EXPECT_EQ(command.type, static_cast<uint32_t>(REMOTE_CAPTURE_START));
  EXPECT_STREQ(command.connector, "Meta-0");
  command.status = CHANNEL_STATUS_SUCCESS;
  agent.WriteRecord(command);

  auto echo = parent.WaitControlRecord(REMOTE_CAPTURE_START, 2000);
  ASSERT_TRUE(echo.has_value());
  EXPECT_EQ(echo->status, static_cast<uint32_t>(CHANNEL_STATUS_SUCCESS));
  ASSERT_TRUE(swtest::WaitFor([&] { return parent.GetSummary().cursorUpdates == 2; }, 2000));
  swparent::Summary s = parent.GetSummary();
  EXPECT_EQ(s.frames, 2u);
  EXPECT_EQ(s.stampedFrames, 2u);
  EXPECT_EQ(s.frameCounterGaps, 1u);
  EXPECT_EQ(s.frameOrderErrors, 0u);
  EXPECT_EQ(s.cursorBitmaps, 1u);
  EXPECT_EQ(s.malformed, 0u);
  auto last = parent.LastFrame();
  ASSERT_TRUE(last.has_value());
  EXPECT_EQ(swstamp::Read(last->pixels.data(), 32)->counter, 9u);
}

// A frame of height 0 carries no pixels; the stamp of an earlier frame left
// in the reused buffer must not be taken for its own.
TEST(ReferenceParent, AnEmptyFrameHasNoStampAndALoneRecordIsCountedApart) {
  swparent::Parent parent(swtest::UniqueCardName());
  ASSERT_TRUE(parent.Listen());
  FakeAgentSocket agent(parent.SocketPath());
  agent.WriteRecord(swparent::MakeRecord(REMOTE_INFO_USER));
  ASSERT_EQ(parent.WaitForControl(2000), static_cast<uint32_t>(REMOTE_INFO_USER));
  for (uint32_t height : {2u, 2u, 0u}) {
    ChannelMessage m = swparent::MakeRecord(REMOTE_SCREEN_BUFFER);
    strcpy(m.screenConnector, "Meta-0");
    m.screenWidth = 8;
    m.screenHeight = height;
    m.screenBytes = 8 * height * 4;
    std::vector<uint8_t> pixels(m.screenBytes, 0x55);
    if (height != 0) {
      static uint32_t counter = 0;
      swstamp::Write(pixels.data(), ++counter, swparent::MonotonicNs());
    }
    agent.WriteRecord(m);
    agent.Write(pixels.data(), pixels.size());
  }
  // A lone record with a size but no pixels (what an older agent sends for
  // frames that waited across a format change) is counted apart, and the
  // frame after it is read as usual.
  ChannelMessage lone = swparent::MakeRecord(REMOTE_SCREEN_BUFFER);
  strcpy(lone.screenConnector, "Meta-0");
  lone.screenWidth = 8;
  lone.screenHeight = 2;
  agent.WriteRecord(lone);
  ChannelMessage next = lone;
  next.screenBytes = 8 * 2 * 4;
  std::vector<uint8_t> pixels(next.screenBytes, 0x55);
  swstamp::Write(pixels.data(), 3, swparent::MonotonicNs());
  agent.WriteRecord(next);
  agent.Write(pixels.data(), pixels.size());

  ASSERT_TRUE(swtest::WaitFor([&] { return parent.GetSummary().frames == 4; }, 2000))
      << parent.GetSummary().firstMalformed;
  swparent::Summary s = parent.GetSummary();
  EXPECT_EQ(s.stampedFrames, 3u);
  EXPECT_EQ(s.emptyFrames, 1u);
  EXPECT_EQ(s.frameOrderErrors, 0u);
  EXPECT_EQ(s.malformed, 0u);
}

TEST(ReferenceParent, ReportsAFrameWhoseByteCountDisagreesWithItsSize) {
  swparent::Parent parent(swtest::UniqueCardName());
  ASSERT_TRUE(parent.Listen());
  FakeAgentSocket agent(parent.SocketPath());
  agent.WriteRecord(swparent::MakeRecord(REMOTE_INFO_GREETER));
  ASSERT_EQ(parent.WaitForControl(2000), static_cast<uint32_t>(REMOTE_INFO_GREETER));
  ChannelMessage m = swparent::MakeRecord(REMOTE_SCREEN_BUFFER);
  m.screenWidth = 4;
  m.screenHeight = 4;
  m.screenBytes = 60;  // should be 64
  agent.WriteRecord(m);
  ASSERT_TRUE(swtest::WaitFor([&] { return parent.GetSummary().malformed == 1; }, 2000));
  EXPECT_EQ(parent.GetSummary().frames, 0u);
  EXPECT_NE(parent.GetSummary().firstMalformed.find("4x4"), std::string::npos);
}

TEST(ReferenceParent, AudioBlocksAndRepliesAreToldApartAndHeadersChecked) {
  swparent::Parent parent(swtest::UniqueCardName());
  std::vector<uint8_t> received;
  parent.OnAudio([&](const swparent::AudioBlock &b) {
    received.insert(received.end(), b.samples.begin(), b.samples.end());
  });
  ASSERT_TRUE(parent.Listen());
  FakeAgentSocket control(parent.SocketPath());
  control.WriteRecord(swparent::MakeRecord(REMOTE_INFO_USER));
  FakeAgentSocket audio(parent.SocketPath());
  audio.WriteRecord(swparent::MakeRecord(REMOTE_AUDIO_HANDSHAKE));
  ASSERT_TRUE(parent.WaitForAudio(2000));

  ASSERT_TRUE(parent.SendAudioStart());
  ChannelMessage start;
  ASSERT_TRUE(audio.ReadRecord(&start));
  EXPECT_EQ(start.type, static_cast<uint32_t>(REMOTE_AUDIO_START));
  start.status = CHANNEL_STATUS_SUCCESS;
  AudioDataHeader h{};
  h.type = REMOTE_AUDIO_DATA;
  h.sampleRate = 48000;
  h.bitsPerSample = 16;
  h.containerBits = 16;
  h.channels = 2;
  h.dataBytes = 8;
  const uint8_t samples[8] = {1, 0, 2, 0, 3, 0, 4, 0};
  audio.Write(&h, sizeof h);
  audio.Write(samples, sizeof samples);
  audio.WriteRecord(start);
  auto reply = parent.WaitAudioRecord(REMOTE_AUDIO_START, 2000);
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(reply->status, static_cast<uint32_t>(CHANNEL_STATUS_SUCCESS));
  EXPECT_EQ(parent.GetSummary().audioBlocks, 1u);
  EXPECT_EQ(received, std::vector<uint8_t>(samples, samples + 8));

  h.channels = 1;  // a header the agent never sends
  audio.Write(&h, sizeof h);
  ASSERT_TRUE(swtest::WaitFor([&] { return parent.GetSummary().malformed == 1; }, 2000));
}

TEST(ReferenceParent, WavFilesRoundTrip) {
  std::string dir = swtest::MakeTempDir("parent-wav");
  swparent::WavWriter wav;
  ASSERT_TRUE(wav.Open(dir + "/a.wav", 48000, 2, 16));
  const uint8_t a[4] = {1, 2, 3, 4}, b[4] = {5, 6, 7, 8};
  ASSERT_TRUE(wav.Append(a));
  ASSERT_TRUE(wav.Append(b));
  ASSERT_TRUE(wav.Close());
  uint32_t rate = 0;
  uint16_t channels = 0;
  std::string data;
  ASSERT_TRUE(swparent::ReadWav(dir + "/a.wav", &rate, &channels, &data));
  EXPECT_EQ(rate, 48000u);
  EXPECT_EQ(channels, 2);
  EXPECT_EQ(data, std::string("\1\2\3\4\5\6\7\10", 8));
}

}  // namespace
