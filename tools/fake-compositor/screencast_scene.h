// The fake compositor's test picture and cursor shapes, shared with the
// tests that check what arrives at the other end.
//
// Frame n (counter) paints pixel (x, y) as the 32-bit value
//   0xFF800000 | ((y + n) & 0xFF) << 8 | (x & 0xFF)
// (byte order: x, y + n, 0x80, 0xFF), a gradient that scrolls by one row
// per frame, except for the first four pixels of the top row, which carry
// the frame stamp (magic, counter, CLOCK_MONOTONIC ns) of frame_stamp.h.
#pragma once

#include <cstdint>

namespace fakescene {

inline uint32_t Pixel(uint32_t x, uint32_t y, uint32_t counter) {
  return 0xFF800000u | (((y + counter) & 0xFFu) << 8) | (x & 0xFFu);
}

struct CursorShape {
  uint32_t width;
  uint32_t height;
  int32_t hotspotX;
  int32_t hotspotY;
};

// Shape i has cursor id i + 1; the shape changes every shapePeriod frames.
constexpr CursorShape kCursorShapes[] = {
    {16, 16, 0, 0},
    {24, 24, 12, 12},
    {32, 32, 4, 28},
};
constexpr uint32_t kCursorShapeCount = sizeof kCursorShapes / sizeof kCursorShapes[0];

// Byte i of shape s's packed bitmap.
inline uint8_t CursorByte(uint32_t shape, uint32_t i) {
  return static_cast<uint8_t>((i * 31u + shape * 97u + 7u) & 0xFFu);
}

// Pointer position at frame n.
inline int32_t CursorX(uint32_t counter, uint32_t width) {
  return static_cast<int32_t>((counter * 5u) % (width > 0 ? width : 1));
}
inline int32_t CursorY(uint32_t counter, uint32_t height) {
  return static_cast<int32_t>((counter * 3u) % (height > 0 ? height : 1));
}

}  // namespace fakescene
