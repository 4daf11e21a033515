// Helpers for the capture tests: capturing the log's standard-error echo,
// and synthetic PipeWire buffers built in memory.
#pragma once

#include <spa/buffer/buffer.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/raw.h>
#include <pipewire/stream.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "lib/log/log.h"

namespace captest {

// Redirects fd 2 into a temporary file while alive; Text() returns what
// was written so far. The log echoes everything down to debug meanwhile.
class StderrCapture {
 public:
  StderrCapture() {
    Log_SetStderrLevel(0, kLogDebug);
    fflush(stderr);
    file_ = tmpfile();
    saved_ = dup(STDERR_FILENO);
    dup2(fileno(file_), STDERR_FILENO);
  }
  ~StderrCapture() {
    Restore();
    Log_SetStderrLevel(0, -1);
    fclose(file_);
  }
  void Restore() {
    if (saved_ >= 0) {
      fflush(stderr);
      dup2(saved_, STDERR_FILENO);
      close(saved_);
      saved_ = -1;
    }
  }
  std::string Text() {
    fflush(stderr);
    std::string out;
    char buf[4096];
    size_t n;
    rewind(file_);
    while ((n = fread(buf, 1, sizeof buf, file_)) > 0) out.append(buf, n);
    return out;
  }
  bool Contains(const std::string &needle) { return Text().find(needle) != std::string::npos; }
  size_t Count(const std::string &needle) {
    const std::string text = Text();
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
      count++;
    }
    return count;
  }

 private:
  FILE *file_ = nullptr;
  int saved_ = -1;
};

struct CursorSpec {
  uint32_t id = 1;
  int32_t x = 10, y = 20, hotX = 1, hotY = 2;
  uint32_t bitmapOffset = sizeof(spa_meta_cursor);  // 0 = no bitmap
  uint32_t format = SPA_VIDEO_FORMAT_RGBA;
  uint32_t width = 8, height = 8;
  uint32_t pixelOffset = sizeof(spa_meta_bitmap);
  uint32_t metaSize = 16432;
  uint8_t fill = 0x5A;
};

// One PipeWire buffer with one data block and optional cursor metadata, all
// in heap blocks of exactly their stated sizes (so ASan sees any overrun).
class SyntheticBuffer {
 public:
  SyntheticBuffer(uint32_t maxsize, uint32_t offset, uint32_t size, int32_t stride)
      : data_(maxsize) {
    for (size_t i = 0; i < data_.size(); i++) data_[i] = static_cast<uint8_t>(i * 7 + 3);
    chunk_.offset = offset;
    chunk_.size = size;
    chunk_.stride = stride;
    block_.type = SPA_DATA_MemFd;
    block_.maxsize = maxsize;
    block_.data = data_.empty() ? nullptr : data_.data();
    block_.chunk = &chunk_;
    buffer_.n_datas = 1;
    buffer_.datas = &block_;
    pw_.buffer = &buffer_;
  }
  void AddCursor(const CursorSpec &c) {
    meta_bytes_.assign(c.metaSize, 0);
    if (c.metaSize >= sizeof(spa_meta_cursor)) {
      auto *cursor = reinterpret_cast<spa_meta_cursor *>(meta_bytes_.data());
      cursor->id = c.id;
      cursor->position.x = c.x;
      cursor->position.y = c.y;
      cursor->hotspot.x = c.hotX;
      cursor->hotspot.y = c.hotY;
      cursor->bitmap_offset = c.bitmapOffset;
      if (c.bitmapOffset >= sizeof(spa_meta_cursor) &&
          c.bitmapOffset + sizeof(spa_meta_bitmap) <= c.metaSize) {
        for (size_t i = size_t{c.bitmapOffset} + c.pixelOffset; i < meta_bytes_.size(); i++) {
          meta_bytes_[i] = c.fill;
        }
        auto *bitmap = reinterpret_cast<spa_meta_bitmap *>(meta_bytes_.data() + c.bitmapOffset);
        bitmap->format = c.format;
        bitmap->size.width = c.width;
        bitmap->size.height = c.height;
        bitmap->stride = static_cast<int32_t>(c.width * 4);
        bitmap->offset = c.pixelOffset;
      }
    }
    meta_.type = SPA_META_Cursor;
    meta_.size = c.metaSize;
    meta_.data = meta_bytes_.data();
    buffer_.n_metas = 1;
    buffer_.metas = &meta_;
  }
  pw_buffer *get() { return &pw_; }
  std::vector<uint8_t> &data() { return data_; }
  spa_chunk &chunk() { return chunk_; }

 private:
  std::vector<uint8_t> data_;
  std::vector<uint8_t> meta_bytes_;
  spa_chunk chunk_{};
  spa_data block_{};
  spa_meta meta_{};
  spa_buffer buffer_{};
  pw_buffer pw_{};
};

}  // namespace captest
