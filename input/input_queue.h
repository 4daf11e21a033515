// InputQueue: the parent's key and pointer records that could not be sent
// yet (no emulating device, a reconnect under way, or a full EIS socket),
// kept in arrival order in a fixed ring so that nothing is allocated per
// record.
//
// What may be given up when the ring is full or an entry is too old: a key
// press, a pointer record that a later pointer record supersedes (that one
// carries the newest position and the full button state), and a key release
// that a later release of the same key repeats. A release that still
// matters and the newest pointer record are never given up, so no key or
// button is left held down.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

struct QueuedInput {
  enum Kind : uint8_t { kKey, kMouse };
  Kind kind = kKey;
  bool pressed = false;      // key
  uint16_t key = 0;          // key: Linux key code
  int32_t x = 0;             // mouse: the record's fields
  int32_t y = 0;
  uint32_t buttons = 0;
  int8_t wheel = 0;
  int8_t hwheel = 0;
  uint64_t queuedNs = 0;     // CLOCK_MONOTONIC when it arrived
};

class InputQueue {
 public:
  // 1024 records is about 2 s of a parent that sends pointer motion at
  // 500 Hz with merging off; motion-only records merge, so typing and
  // clicking fit many times over.
  static constexpr size_t kCapacity = 1024;
  // Older input is no longer what the remote user means to do now.
  static constexpr uint64_t kMaxAgeNs = 2000000000ull;

  bool Empty() const { return size_ == 0; }
  size_t Size() const { return size_; }
  const QueuedInput &Front() const { return At(0); }
  void PopFront();

  // Appends in order. With mayMerge, a pointer record that only moves (same
  // buttons as the pointer record before it, no wheel) replaces a tail that
  // only moves too. When the ring is full the oldest entry that may be
  // given up goes first; returns how many entries were given up for room
  // (0 or 1). lastButtons is the button state already sent.
  size_t Push(const QueuedInput &input, uint16_t lastButtons, bool mayMerge = true);

  // Gives up entries older than kMaxAgeNs at `now` that may be given up;
  // returns how many.
  size_t ExpireOlderThan(uint64_t now);

  void Clear() { head_ = size_ = 0; }

 private:
  const QueuedInput &At(size_t i) const { return ring_[(head_ + i) % kCapacity]; }
  QueuedInput &At(size_t i) { return ring_[(head_ + i) % kCapacity]; }
  bool MayGiveUp(size_t i) const;
  void Erase(size_t i);

  std::array<QueuedInput, kCapacity> ring_{};
  size_t head_ = 0;
  size_t size_ = 0;
  // The tail is a pointer record that changes nothing but the position.
  bool tailMotionOnly_ = false;
};

uint64_t InputMonotonicNs();
