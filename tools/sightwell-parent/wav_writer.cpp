#include "tools/sightwell-parent/wav_writer.h"

#include <cstring>
#include <fstream>
#include <sstream>

namespace swparent {

namespace {

void PutU32(uint8_t *p, uint32_t v) { memcpy(p, &v, 4); }
void PutU16(uint8_t *p, uint16_t v) { memcpy(p, &v, 2); }

}  // namespace

bool WavWriter::Open(const std::string &path, uint32_t sampleRate, uint16_t channels,
                     uint16_t bits) {
  Close();
  file_ = fopen(path.c_str(), "wb");
  if (file_ == nullptr) {
    return false;
  }
  uint8_t header[44] = {};
  memcpy(header, "RIFF", 4);
  memcpy(header + 8, "WAVEfmt ", 8);
  PutU32(header + 16, 16);
  PutU16(header + 20, 1);  // PCM
  PutU16(header + 22, channels);
  PutU32(header + 24, sampleRate);
  PutU32(header + 28, sampleRate * channels * (bits / 8));
  PutU16(header + 32, static_cast<uint16_t>(channels * (bits / 8)));
  PutU16(header + 34, bits);
  memcpy(header + 36, "data", 4);
  dataBytes_ = 0;
  return fwrite(header, 1, sizeof header, file_) == sizeof header;
}

bool WavWriter::Append(std::span<const uint8_t> samples) {
  if (file_ == nullptr) {
    return false;
  }
  dataBytes_ += samples.size();
  return fwrite(samples.data(), 1, samples.size(), file_) == samples.size();
}

bool WavWriter::Close() {
  if (file_ == nullptr) {
    return true;
  }
  uint8_t size[4];
  bool ok = true;
  uint32_t data = static_cast<uint32_t>(dataBytes_);
  PutU32(size, data + 36);
  ok &= fseek(file_, 4, SEEK_SET) == 0 && fwrite(size, 1, 4, file_) == 4;
  PutU32(size, data);
  ok &= fseek(file_, 40, SEEK_SET) == 0 && fwrite(size, 1, 4, file_) == 4;
  ok &= fclose(file_) == 0;
  file_ = nullptr;
  return ok;
}

bool ReadWav(const std::string &path, uint32_t *sampleRate, uint16_t *channels,
             std::string *samples) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  std::string all = ss.str();
  if (all.size() < 44 || all.compare(0, 4, "RIFF") != 0 || all.compare(8, 4, "WAVE") != 0) {
    return false;
  }
  memcpy(channels, all.data() + 22, 2);
  memcpy(sampleRate, all.data() + 24, 4);
  uint32_t dataBytes;
  memcpy(&dataBytes, all.data() + 40, 4);
  *samples = all.substr(44, std::min<size_t>(dataBytes, all.size() - 44));
  return true;
}

}  // namespace swparent
