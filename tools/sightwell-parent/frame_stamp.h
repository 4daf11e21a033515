// A stamp that a frame producer (the fake compositor) writes into the first
// four pixels of a frame's top row, so a receiver can tell frames apart and
// measure capture-to-receipt latency: magic, frame counter, and the
// CLOCK_MONOTONIC time of drawing in nanoseconds (low, high word). Each word
// fills one 4-byte pixel, so the stamp survives any 4-byte pixel format.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>

namespace swstamp {

constexpr uint32_t kMagic = 0x43465753;  // "SWFC"
constexpr size_t kStampBytes = 16;

struct FrameStamp {
  uint32_t counter;
  uint64_t monotonicNs;
};

inline void Write(uint8_t *topRow, uint32_t counter, uint64_t monotonicNs) {
  const uint32_t words[4] = {kMagic, counter, static_cast<uint32_t>(monotonicNs),
                             static_cast<uint32_t>(monotonicNs >> 32)};
  memcpy(topRow, words, sizeof words);
}

inline std::optional<FrameStamp> Read(const uint8_t *topRow, size_t rowBytes) {
  if (topRow == nullptr || rowBytes < kStampBytes) {
    return std::nullopt;
  }
  uint32_t words[4];
  memcpy(words, topRow, sizeof words);
  if (words[0] != kMagic) {
    return std::nullopt;
  }
  return FrameStamp{words[1], static_cast<uint64_t>(words[2]) | (static_cast<uint64_t>(words[3]) << 32)};
}

}  // namespace swstamp
