// The shared loader of the PipeWire client library under concurrent use:
// every user gets a complete table, and the last one leaves nothing loaded.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "lib/soundlib/sound_pipewire_api.h"

namespace {

TEST(SoundPipewireLoader, ConcurrentLoadAndUnloadAlwaysYieldCompleteTable) {
  std::atomic<int> incomplete{0};
  std::atomic<int> failed{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++) {
    threads.emplace_back([&] {
      for (int i = 0; i < 50; i++) {
        PipeWireAudioApi *api = SoundLoadPipewire();
        if (api == nullptr) {
          failed++;
          continue;
        }
        if (api->handle == nullptr || api->pw_init == nullptr ||
            api->pw_stream_state_as_string == nullptr) {
          incomplete++;
        } else if (api->pw_stream_state_as_string(PW_STREAM_STATE_STREAMING) == nullptr) {
          incomplete++;
        }
        SoundUnloadPipewire(api);
      }
    });
  }
  for (std::thread &t : threads) t.join();
  EXPECT_EQ(failed.load(), 0);
  EXPECT_EQ(incomplete.load(), 0);
  SoundPipewireLoaderInfo info = SoundPipewireGetLoaderInfo();
  EXPECT_EQ(info.loadState, 0);
  EXPECT_EQ(info.refCount, 0u);
}

}  // namespace
