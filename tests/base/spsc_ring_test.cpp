// The single-producer single-consumer ring under the frame, cursor and
// handoff queues.
#include "base/spsc_ring.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>

namespace {

struct Item {
  uint64_t sequence;
  uint64_t check;  // written separately, so a torn or early read shows
};

using Ring = SpscRing<Item, 4>;

bool Push(Ring &ring, uint64_t sequence) {
  Item *slot = ring.WriteSlot();
  if (slot == nullptr) return false;
  slot->sequence = sequence;
  slot->check = ~sequence;
  ring.Publish();
  return true;
}

// Many rounds around the ring, in every fill level: a full ring refuses the
// newest item and keeps the waiting ones, which come out oldest first.
TEST(SpscRing, WrapsAroundAndDropsTheNewestWhenFull) {
  Ring ring;
  EXPECT_TRUE(ring.Empty());
  EXPECT_EQ(ring.ReadSlot(), nullptr);
  uint64_t next = 0;
  uint64_t expected = 0;
  for (int round = 0; round < 25; round++) {
    const int fill = round % 4;  // 0 .. 3 items, 3 is full
    for (int i = 0; i < fill; i++) ASSERT_TRUE(Push(ring, next++));
    if (fill == 3) {
      EXPECT_FALSE(Push(ring, 999));  // dropped: the ring holds N - 1
    }
    int seen = 0;
    ring.ForEachWaiting([&](Item &item) { EXPECT_EQ(item.sequence, expected + seen++); });
    EXPECT_EQ(seen, fill);
    for (int i = 0; i < fill; i++) {
      Item *slot = ring.ReadSlot();
      ASSERT_NE(slot, nullptr);
      EXPECT_EQ(slot->sequence, expected++);
      ring.Consume();
    }
    EXPECT_TRUE(ring.Empty());
    EXPECT_EQ(ring.ReadSlot(), nullptr);
  }
  ring.Reset();
  ASSERT_TRUE(Push(ring, 7));
  EXPECT_EQ(ring.slots[0].sequence, 7u);  // a reset ring starts at slot 0
}

// A producer and a consumer on two threads: every item either arrives intact
// and in order or was refused at a full ring. The sanitizer build (TSan)
// checks the slot hand-over itself.
TEST(SpscRing, TwoThreadsPassItemsInOrder) {
  Ring ring;
  constexpr uint64_t kItems = 200000;
  std::atomic<bool> done{false};
  uint64_t refused = 0;
  std::thread producer([&] {
    for (uint64_t i = 0; i < kItems; i++) {
      if (!Push(ring, i)) refused++;
    }
    done.store(true, std::memory_order_release);
  });
  uint64_t received = 0;
  uint64_t last = 0;
  bool ordered = true;
  bool intact = true;
  for (;;) {
    Item *slot = ring.ReadSlot();
    if (slot == nullptr) {
      // Everything published before done was set is visible once it is.
      if (done.load(std::memory_order_acquire) && ring.ReadSlot() == nullptr) break;
      std::this_thread::yield();
      continue;
    }
    if (received > 0 && slot->sequence <= last) ordered = false;
    if (slot->check != ~slot->sequence) intact = false;
    last = slot->sequence;
    received++;
    ring.Consume();
  }
  producer.join();
  EXPECT_TRUE(ordered);
  EXPECT_TRUE(intact);
  EXPECT_GT(received, 0u);
  EXPECT_EQ(received + refused, kItems);
}

}  // namespace
