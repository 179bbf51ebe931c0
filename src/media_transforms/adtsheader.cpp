#include "media_transforms/adtsheader.h"

#include <map>
#include <stdexcept>

namespace VellRecorder {

namespace {

constexpr uint32_t kMaxFrameLength = (1u << 13) - 1;

// std::map::at's exception carries the text callers and logs already know ("invalid map<K, T> key"), so the
// rate lookup throws it itself rather than relying on one library's wording.
uint8_t SamplingFrequencyIndex(uint32_t sample_rate) {
  static const std::map<uint32_t, uint8_t> kIndices{{48000, 3}, {44100, 4}};
  const auto found = kIndices.find(sample_rate);
  if (found == kIndices.end()) throw std::out_of_range("invalid map<K, T> key");
  return found->second;
}

}  // namespace

void WriteAdtsHeader(uint8_t header[kAdtsHeaderSize], uint16_t payload_size, uint32_t sample_rate,
                     uint16_t channels) {
  const uint32_t frame_length = static_cast<uint32_t>(payload_size) + kAdtsHeaderSize;
  if (frame_length > kMaxFrameLength) throw std::length_error("AAC frame too long for an ADTS header");
  const uint8_t index = SamplingFrequencyIndex(sample_rate);

  header[0] = 0xFF;
  header[1] = 0xF9;  // syncword end, MPEG-2, layer 0, no CRC
  header[2] = static_cast<uint8_t>((1 << 6) | (index << 2) | ((channels >> 2) & 1));  // AAC LC
  header[3] = static_cast<uint8_t>(((channels & 3) << 6) | ((frame_length >> 11) & 3));
  header[4] = static_cast<uint8_t>((frame_length >> 3) & 0xFF);
  header[5] = static_cast<uint8_t>((frame_length & 7) << 5);  // buffer fullness 0
  header[6] = 0;                                              // one raw data block
}

}  // namespace VellRecorder
