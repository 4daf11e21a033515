// Tone generation and analysis shared by the audio tests and the benchmark:
// a stereo S16LE WAV file of a sine, and the level and frequency of the
// loud part of captured samples.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace swaudio {

constexpr uint32_t kRate = 48000;

// Writes silenceMs of silence, then a sine of freqHz at amplitude (of 32767)
// for toneMs, as 48 kHz stereo S16LE.
inline bool WriteToneWav(const std::string &path, double freqHz, int amplitude, int toneMs,
                         int silenceMs = 0) {
  const uint32_t silentFrames = kRate * static_cast<uint32_t>(silenceMs) / 1000;
  const uint32_t toneFrames = kRate * static_cast<uint32_t>(toneMs) / 1000;
  std::vector<int16_t> pcm(2 * (silentFrames + toneFrames), 0);
  for (uint32_t i = 0; i < toneFrames; i++) {
    auto v = static_cast<int16_t>(std::lround(amplitude * std::sin(2 * M_PI * freqHz * i / kRate)));
    pcm[2 * (silentFrames + i)] = v;
    pcm[2 * (silentFrames + i) + 1] = v;
  }
  const uint32_t dataBytes = static_cast<uint32_t>(pcm.size() * 2);
  struct {
    char riff[4] = {'R', 'I', 'F', 'F'};
    uint32_t riffSize;
    char wave[4] = {'W', 'A', 'V', 'E'};
    char fmt[4] = {'f', 'm', 't', ' '};
    uint32_t fmtSize = 16;
    uint16_t format = 1;  // PCM
    uint16_t channels = 2;
    uint32_t rate = kRate;
    uint32_t byteRate = kRate * 4;
    uint16_t blockAlign = 4;
    uint16_t bits = 16;
    char data[4] = {'d', 'a', 't', 'a'};
    uint32_t dataSize;
  } header;
  static_assert(sizeof header == 44);
  header.riffSize = 36 + dataBytes;
  header.dataSize = dataBytes;
  FILE *f = fopen(path.c_str(), "wb");
  if (f == nullptr) {
    return false;
  }
  bool ok = fwrite(&header, sizeof header, 1, f) == 1 &&
            fwrite(pcm.data(), 1, dataBytes, f) == dataBytes;
  return fclose(f) == 0 && ok;
}

struct ToneAnalysis {
  size_t loudFrames = 0;    // frames from the first to the last loud sample
  size_t firstLoudFrame = 0;
  int peakLeft = 0;
  int peakRight = 0;
  double frequencyHz = 0;   // from zero crossings of the left channel
};

// Analyses interleaved stereo S16 samples; "loud" is above threshold.
inline ToneAnalysis AnalyseTone(const std::vector<int16_t> &stereo, int threshold = 1000) {
  ToneAnalysis a;
  const size_t frames = stereo.size() / 2;
  size_t first = frames, last = 0;
  for (size_t i = 0; i < frames; i++) {
    if (std::abs(stereo[2 * i]) > threshold) {
      if (first == frames) first = i;
      last = i;
    }
  }
  if (first == frames) {
    return a;
  }
  a.firstLoudFrame = first;
  a.loudFrames = last - first + 1;
  size_t crossings = 0;
  size_t firstCross = 0, lastCross = 0;
  for (size_t i = first + 1; i <= last; i++) {
    int prev = stereo[2 * (i - 1)], cur = stereo[2 * i];
    a.peakLeft = std::max(a.peakLeft, std::abs(cur));
    a.peakRight = std::max(a.peakRight, std::abs(static_cast<int>(stereo[2 * i + 1])));
    if (prev < 0 && cur >= 0) {
      if (crossings == 0) firstCross = i;
      lastCross = i;
      crossings++;
    }
  }
  if (crossings > 1) {
    a.frequencyHz = (crossings - 1) * static_cast<double>(kRate) / (lastCross - firstCross);
  }
  return a;
}

}  // namespace swaudio
