// The PipeWire back end's tables and process callback, with a stand-in for
// the few PipeWire entry points they call (no daemon, no library).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "lib/soundlib/sound_pipewire.h"

namespace {

// --- Stand-in entry points ---------------------------------------------

std::vector<std::pair<std::string, std::string>> propsSet;
int failSetAt = -1;  // index of the property set that fails
int propsFreed = 0;

int FakePropertiesSet(pw_properties *, const char *key, const char *value) {
  if (static_cast<int>(propsSet.size()) == failSetAt) {
    propsSet.emplace_back(key, value);
    return -12;
  }
  propsSet.emplace_back(key, value);
  return 1;
}
void FakePropertiesFree(pw_properties *) { propsFreed++; }

pw_buffer *nextBuffer = nullptr;
int queued = 0;
pw_buffer *FakeDequeue(pw_stream *) { return std::exchange(nextBuffer, nullptr); }
int FakeQueue(pw_stream *, pw_buffer *) { queued++; return 0; }

struct Delivery {
  int32_t event;
  std::vector<uint8_t> bytes;
  uint64_t offered;
};
std::vector<Delivery> deliveries;
uint64_t clientShortensTo = UINT64_MAX;

void RecordingCallback(int32_t event, const void *payload, uint64_t size, void *) {
  ASSERT_EQ(size, sizeof(SoundBuffer));
  auto *buf = static_cast<const SoundBuffer *>(payload);
  auto *p = static_cast<const uint8_t *>(buf->data);
  deliveries.push_back({event, std::vector<uint8_t>(p, p + buf->size), buf->size});
}

void PlaybackCallback(int32_t event, const void *payload, uint64_t, void *) {
  auto *buf = static_cast<SoundBuffer *>(const_cast<void *>(payload));
  deliveries.push_back({event, {}, buf->size});
  memset(buf->data, 0x5A, buf->size);
  if (clientShortensTo < buf->size) {
    buf->size = clientShortensTo;
  }
}

class PipewireBackEndUnitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    propsSet.clear();
    failSetAt = -1;
    propsFreed = 0;
    nextBuffer = nullptr;
    queued = 0;
    deliveries.clear();
    clientShortensTo = UINT64_MAX;
    api_.pw_properties_set = FakePropertiesSet;
    api_.pw_properties_free = FakePropertiesFree;
    api_.pw_stream_dequeue_buffer = FakeDequeue;
    api_.pw_stream_queue_buffer = FakeQueue;
    backend_.api = &api_;
    stream_.pwBackend = &backend_;
    stream_.stream = reinterpret_cast<pw_stream *>(0x1000);  // never dereferenced
  }
  void TearDown() override { free(stream_.copyBuffer); }

  // One PipeWire buffer over mem_ with the given chunk.
  pw_buffer *Buffer(uint32_t maxSize, uint32_t chunkOffset, uint32_t chunkSize) {
    chunk_ = spa_chunk{};
    chunk_.offset = chunkOffset;
    chunk_.size = chunkSize;
    data_ = spa_data{};
    data_.data = mem_;
    data_.maxsize = maxSize;
    data_.chunk = &chunk_;
    sbuf_ = spa_buffer{};
    sbuf_.n_datas = 1;
    sbuf_.datas = &data_;
    pbuf_ = pw_buffer{};
    pbuf_.buffer = &sbuf_;
    return &pbuf_;
  }

  PipeWireAudioApi api_{};
  PipewireSoundBackend backend_{};
  PipewireSoundStream stream_{};
  uint8_t mem_[4096];
  spa_chunk chunk_{};
  spa_data data_{};
  spa_buffer sbuf_{};
  pw_buffer pbuf_{};
};

TEST_F(PipewireBackEndUnitTest, SampleFormatTable) {
  struct Case {
    uint32_t size, container, code;
    int expected;  // SPA format, or -1 when refused
  } cases[] = {
      {8, 8, 1, SPA_AUDIO_FORMAT_U8},        {8, 8, 2, SPA_AUDIO_FORMAT_S8},
      {16, 16, 3, SPA_AUDIO_FORMAT_S16_LE},  {20, 24, 4, SPA_AUDIO_FORMAT_S20_LE},
      {24, 24, 5, SPA_AUDIO_FORMAT_S24_LE},  {24, 32, 5, SPA_AUDIO_FORMAT_S32_LE},
      {32, 32, 6, SPA_AUDIO_FORMAT_S32_LE},  {16, 24, 3, -1},
      {16, 16, 7, -1},                        {8, 16, 1, -1},
  };
  for (const Case &c : cases) {
    SoundStreamParams p = {48000, c.size, c.container, 2, 4, c.code, 0};
    spa_audio_info_raw info{};
    bool ok = SoundPipewireFillAudioInfo(p, &info);
    EXPECT_EQ(ok, c.expected >= 0) << c.size << "/" << c.container << " code " << c.code;
    if (ok) {
      EXPECT_EQ(static_cast<int>(info.format), c.expected);
    }
  }
}

TEST_F(PipewireBackEndUnitTest, ChannelPositions) {
  spa_audio_info_raw info{};
  SoundStreamParams agent = {48000, 16, 16, 2, 4, 3, 0};
  ASSERT_TRUE(SoundPipewireFillAudioInfo(agent, &info));
  EXPECT_EQ(info.rate, 48000u);
  EXPECT_EQ(info.channels, 2u);
  EXPECT_EQ(info.flags, 0u);
  EXPECT_EQ(info.position[0], SPA_AUDIO_CHANNEL_FL);
  EXPECT_EQ(info.position[1], SPA_AUDIO_CHANNEL_FR);

  SoundStreamParams mono = {44100, 16, 16, 1, 4, 3, 0};
  ASSERT_TRUE(SoundPipewireFillAudioInfo(mono, &info));
  EXPECT_EQ(info.position[0], SPA_AUDIO_CHANNEL_MONO);

  SoundStreamParams six = {48000, 16, 16, 6, 4, 3, 0};
  ASSERT_TRUE(SoundPipewireFillAudioInfo(six, &info));
  EXPECT_EQ(info.position[1], SPA_AUDIO_CHANNEL_FR);
  EXPECT_EQ(info.position[5], SPA_AUDIO_CHANNEL_UNKNOWN);

  // The raw format holds 64 positions; more would be written out of bounds.
  SoundStreamParams many = {48000, 16, 16, SPA_AUDIO_MAX_CHANNELS + 1, 4, 3, 0};
  EXPECT_FALSE(SoundPipewireFillAudioInfo(many, &info));
}

TEST_F(PipewireBackEndUnitTest, PropertiesPerMode) {
  using Props = std::vector<std::pair<std::string, std::string>>;
  auto props = reinterpret_cast<pw_properties *>(0x2000);
  SoundStreamParams p = {48000, 16, 16, 2, SOUND_STREAM_MODE_RECORD_MONITOR, 3, 0};
  ASSERT_TRUE(SoundPipewireApplyProperties(&api_, props, p, nullptr));
  EXPECT_EQ(propsSet, (Props{{"media.type", "Audio"},
                             {"media.role", "Production"},
                             {"stream.capture.sink", "true"},
                             {"target.object", "@DEFAULT_AUDIO_SINK@"}}));

  propsSet.clear();
  p.mode = SOUND_STREAM_MODE_PLAY;
  ASSERT_TRUE(SoundPipewireApplyProperties(&api_, props, p, "speakers"));
  EXPECT_EQ(propsSet, (Props{{"media.type", "Audio"},
                             {"media.role", "Production"},
                             {"media.category", "Playback"},
                             {"target.object", "speakers"}}));

  propsSet.clear();
  p.mode = SOUND_STREAM_MODE_RECORD;
  ASSERT_TRUE(SoundPipewireApplyProperties(&api_, props, p, nullptr));
  EXPECT_EQ(propsSet[3], (std::pair<std::string, std::string>{"target.object",
                                                              "@DEFAULT_AUDIO_SOURCE@"}));
  EXPECT_EQ(propsSet[2].second, "Capture");

  propsSet.clear();
  p.mode = SOUND_STREAM_MODE_PLAY_TO_SOURCE;
  ASSERT_TRUE(SoundPipewireApplyProperties(&api_, props, p, "ignored"));
  EXPECT_EQ(propsSet.size(), 3u);
  EXPECT_EQ(propsSet[2].second, "@DEFAULT_AUDIO_SOURCE@");
  EXPECT_EQ(propsFreed, 0);

  // A failed set frees the property set and names no further key.
  propsSet.clear();
  failSetAt = 2;
  p.mode = SOUND_STREAM_MODE_RECORD_MONITOR;
  EXPECT_FALSE(SoundPipewireApplyProperties(&api_, props, p, nullptr));
  EXPECT_EQ(propsSet.size(), 3u);
  EXPECT_EQ(propsFreed, 1);
}

TEST_F(PipewireBackEndUnitTest, RecordingDeliversChunkAndReturnsBuffer) {
  stream_.params = {48000, 16, 16, 2, SOUND_STREAM_MODE_RECORD_MONITOR, 3, 0};
  stream_.callback = RecordingCallback;
  for (size_t i = 0; i < sizeof mem_; i++) mem_[i] = static_cast<uint8_t>(i);

  nextBuffer = Buffer(4096, 100, 64);
  SoundPipewireProcessCB(&stream_);
  ASSERT_EQ(deliveries.size(), 1u);
  EXPECT_EQ(deliveries[0].event, SOUND_EVENT_DATA);
  ASSERT_EQ(deliveries[0].bytes.size(), 64u);
  EXPECT_EQ(deliveries[0].bytes[0], 100);
  EXPECT_EQ(chunk_.size, 0u);  // consumed
  EXPECT_EQ(chunk_.offset, 0u);
  EXPECT_EQ(queued, 1);

  // An empty chunk goes back without a callback.
  nextBuffer = Buffer(4096, 0, 0);
  SoundPipewireProcessCB(&stream_);
  EXPECT_EQ(deliveries.size(), 1u);
  EXPECT_EQ(queued, 2);

  // No mapped memory or no chunk: back without a callback.
  nextBuffer = Buffer(4096, 0, 64);
  data_.data = nullptr;
  SoundPipewireProcessCB(&stream_);
  nextBuffer = Buffer(4096, 0, 64);
  data_.chunk = nullptr;
  SoundPipewireProcessCB(&stream_);
  nextBuffer = Buffer(4096, 0, 64);
  sbuf_.n_datas = 0;
  SoundPipewireProcessCB(&stream_);
  EXPECT_EQ(deliveries.size(), 1u);
  EXPECT_EQ(queued, 5);

  // Nothing to dequeue, or no stream: nothing happens.
  SoundPipewireProcessCB(&stream_);
  stream_.stream = nullptr;
  nextBuffer = Buffer(4096, 0, 64);
  SoundPipewireProcessCB(&stream_);
  EXPECT_EQ(queued, 5);
  nextBuffer = nullptr;
}

TEST_F(PipewireBackEndUnitTest, RecordingClampsChunkToMappedData) {
  stream_.params = {48000, 16, 16, 2, SOUND_STREAM_MODE_RECORD_MONITOR, 3, 0};
  stream_.callback = RecordingCallback;

  nextBuffer = Buffer(1024, 1000, 4000);  // claims 3976 bytes past the mapping
  SoundPipewireProcessCB(&stream_);
  ASSERT_EQ(deliveries.size(), 1u);
  EXPECT_EQ(deliveries[0].bytes.size(), 24u);

  nextBuffer = Buffer(1024, 5000, 16);  // starts past the mapping: nothing to copy
  SoundPipewireProcessCB(&stream_);
  EXPECT_EQ(deliveries.size(), 1u);

  nextBuffer = Buffer(1024, 0, UINT32_MAX);
  SoundPipewireProcessCB(&stream_);
  ASSERT_EQ(deliveries.size(), 2u);
  EXPECT_EQ(deliveries[1].bytes.size(), 1024u);
  EXPECT_EQ(queued, 3);
  EXPECT_GE(stream_.copyCapacity, 1024u);
}

TEST_F(PipewireBackEndUnitTest, PlaybackOffersRequestedFramesAndHonoursShorterFill) {
  stream_.params = {48000, 16, 16, 2, SOUND_STREAM_MODE_PLAY, 3, 0};
  stream_.callback = PlaybackCallback;

  // No request: the whole mapping.
  nextBuffer = Buffer(4096, 0, 0);
  SoundPipewireProcessCB(&stream_);
  ASSERT_EQ(deliveries.size(), 1u);
  EXPECT_EQ(deliveries[0].offered, 4096u);
  EXPECT_EQ(chunk_.size, 4096u);
  EXPECT_EQ(chunk_.stride, 4);
  EXPECT_EQ(pbuf_.size, 1024u);

  // A request below the mapping: exactly that many frames.
  nextBuffer = Buffer(4096, 0, 0);
  pbuf_.requested = 100;
  SoundPipewireProcessCB(&stream_);
  EXPECT_EQ(deliveries[1].offered, 400u);

  // A request at or above the mapping is ignored.
  nextBuffer = Buffer(4096, 0, 0);
  pbuf_.requested = 1024;
  SoundPipewireProcessCB(&stream_);
  EXPECT_EQ(deliveries[2].offered, 4096u);

  // The client lowers the size: chunk and frame count follow.
  clientShortensTo = 40;
  nextBuffer = Buffer(4096, 0, 0);
  SoundPipewireProcessCB(&stream_);
  EXPECT_EQ(chunk_.size, 40u);
  EXPECT_EQ(pbuf_.size, 10u);
  EXPECT_EQ(queued, 4);
}

}  // namespace
