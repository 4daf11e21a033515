// A fixed ring of N slots between one producer thread and one consumer
// thread, without locks. Empty when the two indices are equal; full when the
// producer's next index is the consumer's, so at most N - 1 slots wait. A
// full ring takes nothing: the producer drops the newest item (its caller
// decides what to log), so the consumer always gets the oldest waiting ones
// in order.
//
// The producer fills the slot WriteSlot() returns and then Publish()es it;
// the consumer reads the slot ReadSlot() returns and then Consume()s it.
// Publishing with release and reading the other side's index with acquire
// orders every access to a slot's contents before the other side's next use
// of that slot.
#pragma once

#include <atomic>
#include <cstdint>

template <typename Slot, uint32_t N>
class SpscRing {
  static_assert(N >= 2, "a ring of one slot could never hold an item");

 public:
  static constexpr uint32_t kSlots = N;

  SpscRing() = default;
  SpscRing(const SpscRing &) = delete;
  SpscRing &operator=(const SpscRing &) = delete;

  // Producer: the slot to fill next, or null when the ring is full.
  Slot *WriteSlot() {
    const uint32_t producer = producer_.load(std::memory_order_relaxed);
    if (Next(producer) == consumer_.load(std::memory_order_acquire)) {
      return nullptr;
    }
    return &slots[producer];
  }
  // Producer: hands the slot WriteSlot() returned to the consumer.
  void Publish() {
    producer_.store(Next(producer_.load(std::memory_order_relaxed)), std::memory_order_release);
  }

  // Consumer: the oldest waiting slot, or null when the ring is empty.
  Slot *ReadSlot() {
    const uint32_t consumer = consumer_.load(std::memory_order_relaxed);
    if (consumer == producer_.load(std::memory_order_acquire)) {
      return nullptr;
    }
    return &slots[consumer];
  }
  // Consumer: gives the slot ReadSlot() returned back to the producer.
  void Consume() {
    consumer_.store(Next(consumer_.load(std::memory_order_relaxed)), std::memory_order_release);
  }

  // Visits the waiting slots, oldest first. Only for the consumer, or for a
  // thread that keeps the consumer from moving meanwhile (a lock the
  // consumer holds while it reads a slot and consumes it).
  template <typename Visit>
  void ForEachWaiting(Visit &&visit) {
    const uint32_t producer = producer_.load(std::memory_order_acquire);
    for (uint32_t i = consumer_.load(std::memory_order_relaxed); i != producer; i = Next(i)) {
      visit(slots[i]);
    }
  }

  bool Empty() const {
    return consumer_.load(std::memory_order_acquire) == producer_.load(std::memory_order_acquire);
  }

  // Empties the ring; only while neither side runs.
  void Reset() {
    producer_.store(0, std::memory_order_relaxed);
    consumer_.store(0, std::memory_order_relaxed);
  }

  // Every slot, waiting or not, for set-up, resizing and release. Touching a
  // slot's contents this way needs a lock of the slot's own, since either
  // side may be using it.
  Slot slots[N] = {};

 private:
  static uint32_t Next(uint32_t index) { return (index + 1) % N; }

  std::atomic<uint32_t> producer_{0};
  std::atomic<uint32_t> consumer_{0};
};
