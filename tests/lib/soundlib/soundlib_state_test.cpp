// SoundLib's state table, parameter validation and stream list, driven
// through a recording fake back end.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lib/soundlib/sound_backend.h"
#include "lib/soundlib/soundlib.h"

namespace {

std::vector<std::string> calls;  // "op:streamId" in call order
bool startResult = true;
bool failCreate = false;

struct FakeStream : SoundStream {
  int id = 0;
};

struct FakeBackend : SoundBackend {
  int nextId = 1;
};

void Record(const char *op, SoundStream *s) {
  calls.push_back(std::string(op) + ":" + std::to_string(static_cast<FakeStream *>(s)->id));
}

bool FakeStart(SoundStream *s) { Record("start", s); return startResult; }
void FakePause(SoundStream *s) { Record("pause", s); }
void FakeStop(SoundStream *s) { Record("stop", s); }
void FakeAbort(SoundStream *s) { Record("abort", s); }
void FakeDestroy(SoundStream *s) {
  Record("destroy", s);
  delete static_cast<FakeStream *>(s);
}
void FakeNoop(SoundStream *) {}

const SoundStreamOps kFakeStreamOps = {FakeStart, FakePause, FakeStop, FakeAbort,
                                       FakeDestroy, FakeNoop, FakeNoop};

SoundStream *FakeCreate(SoundBackend *b, const SoundStreamParams *params, uint64_t, uint32_t,
                        SoundCallbackLock *lock, void *) {
  calls.push_back(lock == nullptr ? "create" : "create-with-lock");
  if (failCreate) {
    return nullptr;
  }
  auto *s = new FakeStream;
  s->ops = &kFakeStreamOps;
  s->params = *params;
  s->id = static_cast<FakeBackend *>(b)->nextId++;
  return s;
}

void FakeDestroyBackend(SoundBackend *b) {
  calls.push_back("destroyBackend");
  delete static_cast<FakeBackend *>(b);
}

const SoundBackendOps kFakeBackendOps = {
    [](SoundBackend *) -> uint32_t { return 1; },
    [](SoundBackend *, SoundBackendDescription *) { return 0; },
    [](SoundBackend *, SoundDeviceInfo **, uint32_t *) { return 0; },
    [](SoundBackend *, SoundDeviceInfo *, uint32_t) {},
    FakeCreate,
    FakeDestroyBackend,
    nullptr,
    nullptr,
};

constexpr SoundStreamParams kAgentParams = {48000, 16, 16, 2, SOUND_STREAM_MODE_RECORD_MONITOR, 3,
                                            0};

class SoundLibStateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    calls.clear();
    startResult = true;
    failCreate = false;
    backend_ = new FakeBackend;
    backend_->ops = &kFakeBackendOps;
  }
  void TearDown() override {
    if (backend_ != nullptr) {
      SoundLib_DestroyBackend(backend_);
    }
  }
  SoundStream *Create() {
    SoundStream *s = nullptr;
    EXPECT_TRUE(SoundLib_CreateSyncSoundStream(backend_, &kAgentParams, 96000, 1, nullptr,
                                               nullptr, &s));
    return s;
  }

  FakeBackend *backend_ = nullptr;
};

TEST_F(SoundLibStateTest, ValidationRefusesBadParametersWithoutCallingBackEnd) {
  struct Case {
    const char *what;
    SoundStreamParams params;
    uint64_t sizeArg;
    uint32_t countArg;
  };
  const Case cases[] = {
      {"zero rate", {0, 16, 16, 2, 4, 3, 0}, 96000, 1},
      {"zero sample size", {48000, 0, 16, 2, 4, 3, 0}, 96000, 1},
      {"zero channels", {48000, 16, 16, 0, 4, 3, 0}, 96000, 1},
      {"zero mode", {48000, 16, 16, 2, 0, 3, 0}, 96000, 1},
      {"zero format", {48000, 16, 16, 2, 4, 0, 0}, 96000, 1},
      {"zero container", {48000, 16, 0, 2, 4, 3, 0}, 96000, 1},
      {"container 12", {48000, 12, 12, 2, 4, 3, 0}, 96000, 1},
      {"container below sample size", {48000, 16, 8, 2, 4, 3, 0}, 96000, 1},
      {"zero size argument", kAgentParams, 0, 1},
      {"zero count argument", kAgentParams, 96000, 0},
  };
  for (const Case &c : cases) {
    SoundStream *s = reinterpret_cast<SoundStream *>(0x1);
    EXPECT_FALSE(SoundLib_CreateSyncSoundStream(backend_, &c.params, c.sizeArg, c.countArg,
                                                nullptr, nullptr, &s))
        << c.what;
    EXPECT_EQ(s, reinterpret_cast<SoundStream *>(0x1)) << c.what;
  }
  EXPECT_TRUE(calls.empty());
  EXPECT_EQ(backend_->streams, nullptr);

  // Accepted by SoundLib; whether the back end supports it is its business.
  SoundStreamParams wide = {48000, 16, 24, 2, 4, 3, 0};
  SoundStream *s = nullptr;
  EXPECT_TRUE(SoundLib_CreateSyncSoundStream(backend_, &wide, 96000, 1, nullptr, nullptr, &s));
}

TEST_F(SoundLibStateTest, FailedCreateLeavesNothingBehind) {
  failCreate = true;
  SoundStream *s = nullptr;
  EXPECT_FALSE(SoundLib_CreateSyncSoundStream(backend_, &kAgentParams, 96000, 1, nullptr, nullptr,
                                              &s));
  EXPECT_EQ(s, nullptr);
  EXPECT_EQ(backend_->streams, nullptr);
  EXPECT_EQ(calls, std::vector<std::string>{"create"});  // no callback lock passed
}

TEST_F(SoundLibStateTest, StateTable) {
  int token = 0;
  SoundClientCallback cb = [](int32_t, const void *, uint64_t, void *) {};
  SoundStream *s = nullptr;
  ASSERT_TRUE(SoundLib_CreateSyncSoundStream(backend_, &kAgentParams, 96000, 1, cb, &token, &s));
  EXPECT_EQ(SoundLib_GetStreamState(s), SOUND_STREAM_CREATED);
  EXPECT_EQ(s->callback, cb);
  EXPECT_EQ(s->clientData, &token);
  EXPECT_EQ(s->backend, backend_);

  // Stopping a stream that never started calls nothing.
  calls.clear();
  SoundLib_StopSoundStream(s);
  EXPECT_EQ(SoundLib_GetStreamState(s), SOUND_STREAM_STOPPED);
  EXPECT_TRUE(calls.empty());

  EXPECT_TRUE(SoundLib_StartSoundStream(s));
  EXPECT_EQ(SoundLib_GetStreamState(s), SOUND_STREAM_STARTED);
  // Starting again succeeds without the back end.
  EXPECT_TRUE(SoundLib_StartSoundStream(s));
  EXPECT_EQ(calls, (std::vector<std::string>{"start:1"}));

  SoundLib_StopSoundStream(s);
  SoundLib_StopSoundStream(s);  // second stop: was not started, nothing
  EXPECT_EQ(calls, (std::vector<std::string>{"start:1", "stop:1"}));
  EXPECT_EQ(SoundLib_GetStreamState(s), SOUND_STREAM_STOPPED);

  // A failed start leaves it stopped.
  startResult = false;
  EXPECT_FALSE(SoundLib_StartSoundStream(s));
  EXPECT_EQ(SoundLib_GetStreamState(s), SOUND_STREAM_STOPPED);

  // Destroying a started stream aborts it first; a stopped one is just freed.
  startResult = true;
  ASSERT_TRUE(SoundLib_StartSoundStream(s));
  SoundStream *t = Create();
  calls.clear();
  SoundLib_DestroySoundStream(s);
  SoundLib_DestroySoundStream(t);
  EXPECT_EQ(calls, (std::vector<std::string>{"abort:1", "destroy:1", "destroy:2"}));
  EXPECT_EQ(backend_->streams, nullptr);
}

TEST_F(SoundLibStateTest, ListKeepsCreationOrderAndSurvivesMiddleRemoval) {
  SoundStream *a = Create();
  SoundStream *b = Create();
  SoundStream *c = Create();
  EXPECT_EQ(backend_->streams, a);
  EXPECT_EQ(a->next, b);
  EXPECT_EQ(c->next, a);
  EXPECT_EQ(a->prev, c);
  SoundLib_DestroySoundStream(b);
  EXPECT_EQ(a->next, c);
  EXPECT_EQ(c->prev, a);
  SoundLib_DestroySoundStream(a);  // the head goes: c becomes the head
  EXPECT_EQ(backend_->streams, c);
  EXPECT_EQ(c->next, c);
  EXPECT_EQ(c->prev, c);
}

TEST_F(SoundLibStateTest, DestroyBackendStopsAndDestroysRemainingStreamsInListOrder) {
  SoundStream *a = Create();
  SoundStream *b = Create();
  SoundStream *c = Create();
  ASSERT_TRUE(SoundLib_StartSoundStream(a));
  ASSERT_TRUE(SoundLib_StartSoundStream(c));
  SoundLib_StopSoundStream(c);
  (void)b;
  calls.clear();
  SoundLib_DestroyBackend(backend_);
  backend_ = nullptr;
  EXPECT_EQ(calls, (std::vector<std::string>{"abort:1", "destroy:1", "destroy:2", "destroy:3",
                                             "destroyBackend"}));
}

TEST(SoundLibBackendMultiTest, RefusesCodesWithoutSupportedBits) {
  EXPECT_EQ(SoundLib_CreateBackendMulti(0, nullptr), nullptr);
  EXPECT_EQ(SoundLib_CreateBackendMulti(0x8000, nullptr), nullptr);
  EXPECT_EQ(SoundLib_CreateBackendMulti(~0x4653u & 0xFFFFu, nullptr), nullptr);
}

}  // namespace
