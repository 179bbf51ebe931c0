#include "muxers/wavwriter.h"

#include <cstring>

namespace VellRecorder {
namespace {

constexpr size_t kHeaderLength = 44;
constexpr uint16_t kFormatPcm = 1;

uint8_t* Put(uint8_t* out, const char (&tag)[5]) {
  std::memcpy(out, tag, 4);
  return out + 4;
}

uint8_t* Put16(uint8_t* out, uint16_t value) {
  out[0] = static_cast<uint8_t>(value);
  out[1] = static_cast<uint8_t>(value >> 8);
  return out + 2;
}

uint8_t* Put32(uint8_t* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
  return out + 4;
}

}  // namespace

std::vector<uint8_t> MakeSilenceWav(const PcmFormat& format) {
  const uint32_t data_length = static_cast<uint32_t>(uint64_t{format.channels} * format.bits_per_sample *
                                                     format.samples_per_second / 8);
  std::vector<uint8_t> image(kHeaderLength + data_length, 0);
  uint8_t* p = image.data();
  p = Put(p, "RIFF");
  p = Put32(p, format.average_bytes_per_second + 36);
  p = Put(p, "WAVE");
  p = Put(p, "fmt ");
  p = Put32(p, 16);
  p = Put16(p, kFormatPcm);
  p = Put16(p, format.channels);
  p = Put32(p, format.samples_per_second);
  p = Put32(p, data_length);
  p = Put16(p, format.block_align);
  p = Put16(p, format.bits_per_sample);
  p = Put(p, "data");
  Put32(p, data_length);
  return image;
}

}  // namespace VellRecorder
