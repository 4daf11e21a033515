// PNG output of frames and cursor bitmaps (libpng).
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace swparent {

// The 4-byte pixel layouts a frame may arrive in, by byte order in memory.
enum class PixelLayout { BGRx, RGBx, BGRA, RGBA };

bool ParsePixelLayout(const std::string &name, PixelLayout *out);

// Writes width x height pixels of 4 bytes (rows packed) as a PNG; alpha is
// kept only for the layouts that carry it.
bool WritePng(const std::string &path, std::span<const uint8_t> pixels, uint32_t width,
              uint32_t height, PixelLayout layout, std::string *error);

}  // namespace swparent
