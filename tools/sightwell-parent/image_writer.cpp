#include "tools/sightwell-parent/image_writer.h"

#include <png.h>

#include <cstdio>
#include <memory>
#include <vector>

namespace swparent {

namespace {

// Converts packed 4-byte pixels to RGB (or RGBA when the layout has alpha).
std::vector<uint8_t> ToRgb(std::span<const uint8_t> pixels, uint32_t width, uint32_t height,
                           PixelLayout layout) {
  const bool alpha = layout == PixelLayout::BGRA || layout == PixelLayout::RGBA;
  const bool swapRB = layout == PixelLayout::BGRx || layout == PixelLayout::BGRA;
  const size_t channels = alpha ? 4 : 3;
  std::vector<uint8_t> out(static_cast<size_t>(width) * height * channels);
  for (size_t i = 0; i < static_cast<size_t>(width) * height; i++) {
    const uint8_t *p = pixels.data() + i * 4;
    uint8_t *d = out.data() + i * channels;
    d[0] = swapRB ? p[2] : p[0];
    d[1] = p[1];
    d[2] = swapRB ? p[0] : p[2];
    if (alpha) {
      d[3] = p[3];
    }
  }
  return out;
}

// libpng reports errors by longjmp; this function keeps no state that the
// jump could clobber.
bool WriteImage(png_structp png, png_infop info, FILE *file, const uint8_t *rows,
                uint32_t width, uint32_t height, bool alpha) {
  if (setjmp(png_jmpbuf(png))) {
    return false;
  }
  png_init_io(png, file);
  png_set_IHDR(png, info, width, height, 8, alpha ? PNG_COLOR_TYPE_RGBA : PNG_COLOR_TYPE_RGB,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  const size_t stride = static_cast<size_t>(width) * (alpha ? 4 : 3);
  for (uint32_t y = 0; y < height; y++) {
    png_write_row(png, const_cast<uint8_t *>(rows + y * stride));
  }
  return true;
}

}  // namespace

bool ParsePixelLayout(const std::string &name, PixelLayout *out) {
  if (name == "bgrx") { *out = PixelLayout::BGRx; return true; }
  if (name == "rgbx") { *out = PixelLayout::RGBx; return true; }
  if (name == "bgra") { *out = PixelLayout::BGRA; return true; }
  if (name == "rgba") { *out = PixelLayout::RGBA; return true; }
  return false;
}

bool WritePng(const std::string &path, std::span<const uint8_t> pixels, uint32_t width,
              uint32_t height, PixelLayout layout, std::string *error) {
  if (width == 0 || height == 0 || pixels.size() < static_cast<size_t>(width) * height * 4) {
    *error = "no pixels to write";
    return false;
  }
  std::unique_ptr<FILE, int (*)(FILE *)> file(fopen(path.c_str(), "wb"), fclose);
  if (!file) {
    *error = "cannot create " + path;
    return false;
  }
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
  if (info == nullptr) {
    png_destroy_write_struct(&png, nullptr);
    *error = "libpng initialisation failed";
    return false;
  }
  const bool alpha = layout == PixelLayout::BGRA || layout == PixelLayout::RGBA;
  std::vector<uint8_t> rgb = ToRgb(pixels, width, height, layout);
  if (!WriteImage(png, info, file.get(), rgb.data(), width, height, alpha)) {
    png_destroy_write_struct(&png, &info);
    *error = "libpng write failed";
    return false;
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

}  // namespace swparent
