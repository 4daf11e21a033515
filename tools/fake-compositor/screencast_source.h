// A PipeWire video source node of the fake compositor: the graph driver,
// producing the test scene with cursor metadata from a timer.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

struct pw_thread_loop;
struct pw_core;
struct pw_stream;

namespace fakesc {

struct SourceOptions {
  uint32_t width = 640;
  uint32_t height = 480;
  uint32_t format = 8;          // SPA video format id; 0 = announce none
  uint32_t fps = 30;            // 0: a frame only on change (start, resize, Damage)
  uint32_t stridePad = 0;       // extra bytes at the end of every row
  bool memPtr = false;          // let PipeWire allocate the buffers
  uint32_t cursorOnlyEvery = 0; // every Nth buffer carries only the cursor
  uint32_t shapePeriod = 30;    // frames per cursor shape
  bool cursor = true;
  // Behave as GNOME Mutter does: offer BGRx and BGRA, a fixed 589872-byte
  // cursor metadata entry, one cursor id for every shape, and the bitmap
  // only in the buffer where the shape changes.
  bool likeMutter = false;
};

// Fault switches, read by the producing thread at every buffer.
struct Faults {
  std::atomic<bool> chunkOutOfBounds{false};
  std::atomic<bool> shortStride{false};   // chunk stride below width * 4
  std::atomic<bool> shortChunk{false};    // chunk smaller than its rows
  std::atomic<bool> cursorOutOfBounds{false};
  std::atomic<bool> stopProducing{false};
};

Faults &SourceFaults();

// The process-wide PipeWire connection of the fake compositor, created on
// first use. false when PipeWire is not reachable.
bool EnsurePipeWire();
void ShutdownPipeWire();
// Called once, on the PipeWire thread, when the connection to the daemon
// is lost (the daemon ended or restarted). The handler must move to the
// main loop, destroy every VideoSource and then call ShutdownPipeWire, so
// that the next EnsurePipeWire connects afresh, as the compositor does.
void SetPipeWireLostHandler(std::function<void()> handler);

class VideoSource {
 public:
  // onNodeId runs on the PipeWire thread once the node id is known;
  // onFrame after every produced buffer with its counter.
  VideoSource(const SourceOptions &options, std::function<void(uint32_t)> onNodeId,
              std::function<void(uint32_t)> onFrame);
  ~VideoSource();
  VideoSource(const VideoSource &) = delete;
  VideoSource &operator=(const VideoSource &) = delete;

  bool ok() const { return stream_ != nullptr; }
  // Announces a new size; the consumer renegotiates.
  void Resize(uint32_t width, uint32_t height);
  // Produces one frame now (for the only-on-change mode).
  void Damage();

  struct Impl;

 private:
  pw_stream *stream_ = nullptr;
  Impl *impl_ = nullptr;
};

}  // namespace fakesc
