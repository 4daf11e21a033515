// A streaming WAV file writer for the agent's audio (16-bit PCM); the header
// sizes are patched when the file is closed.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

namespace swparent {

class WavWriter {
 public:
  WavWriter() = default;
  ~WavWriter() { Close(); }
  WavWriter(const WavWriter &) = delete;
  WavWriter &operator=(const WavWriter &) = delete;

  bool Open(const std::string &path, uint32_t sampleRate, uint16_t channels, uint16_t bits);
  bool Append(std::span<const uint8_t> samples);
  bool Close();
  uint64_t dataBytes() const { return dataBytes_; }

 private:
  FILE *file_ = nullptr;
  uint64_t dataBytes_ = 0;
};

// Reads a 16-bit PCM WAV written by WavWriter (or any canonical one).
bool ReadWav(const std::string &path, uint32_t *sampleRate, uint16_t *channels,
             std::string *samples);

}  // namespace swparent
