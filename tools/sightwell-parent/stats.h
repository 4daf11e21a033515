// Figures the reference parent reports: counts, rates and latency
// percentiles, kept per second for the timeline.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace swparent {

// Percentile (0..100) of the samples by nearest rank; 0 when empty.
double Percentile(std::vector<double> samples, double pct);

struct TimelineBucket {
  uint32_t frames = 0;
  uint32_t audioBlocks = 0;
  uint32_t inputEvents = 0;
};

struct Summary {
  uint64_t frames = 0;
  uint64_t frameBytes = 0;
  uint64_t stampedFrames = 0;
  uint64_t frameCounterGaps = 0;   // frames skipped between stamped frames
  uint64_t frameOrderErrors = 0;   // a stamped counter that went backwards
  uint64_t emptyFrames = 0;        // 0-byte frame records of a non-empty size
  double firstFrameSec = -1;       // relative to the parent's start
  double lastFrameSec = -1;
  std::vector<double> frameLatencyMs;
  uint64_t cursorUpdates = 0;
  uint64_t cursorBitmaps = 0;
  uint64_t audioBlocks = 0;
  uint64_t audioBytes = 0;
  uint64_t audioGaps = 0;          // a block later than its predecessor's length + 50 ms
  uint64_t inputEventsSent = 0;
  uint64_t logouts = 0;
  uint64_t errors = 0;
  uint64_t malformed = 0;
  std::string firstMalformed;
  std::map<uint32_t, TimelineBucket> timeline;  // by whole second since start

  double Fps() const;
  double AudioSeconds() const { return static_cast<double>(audioBytes) / (48000.0 * 4.0); }
};

}  // namespace swparent
