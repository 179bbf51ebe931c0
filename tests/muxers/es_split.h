// Splitting of elementary stream files into the units the sessions hand to the sink: H.264 access units
// (Annex B) and ADTS AAC frames. Used by the decoder tests and the muxer benchmark.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace VellRecorder::Testing {

// Splits an Annex B stream into access units: the NAL units up to and including each slice (the encoder
// writes one slice per picture).
inline std::vector<std::vector<uint8_t>> SplitAccessUnits(const std::vector<uint8_t>& stream) {
  std::vector<size_t> starts;  // offsets of the start codes, a leading zero byte included
  for (size_t i = 0; i + 3 <= stream.size(); ++i) {
    if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1) {
      starts.push_back(i > 0 && stream[i - 1] == 0 ? i - 1 : i);
      i += 2;
    }
  }
  starts.push_back(stream.size());
  std::vector<std::vector<uint8_t>> units;
  size_t unit_start = 0;
  for (size_t k = 0; k + 1 < starts.size(); ++k) {
    size_t header = starts[k] + 3;
    if (stream[header - 1] != 1) ++header;
    if (header >= stream.size()) break;
    const int type = stream[header] & 0x1F;
    if (type == 1 || type == 5) {
      units.emplace_back(stream.begin() + long(unit_start), stream.begin() + long(starts[k + 1]));
      unit_start = starts[k + 1];
    }
  }
  return units;
}

inline std::vector<std::vector<uint8_t>> SplitAdtsFrames(const std::vector<uint8_t>& stream) {
  std::vector<std::vector<uint8_t>> frames;
  for (size_t i = 0; i + 7 <= stream.size();) {
    const size_t length = size_t{stream[i + 3] & 0x03u} << 11 | size_t{stream[i + 4]} << 3 | stream[i + 5] >> 5;
    if (stream[i] != 0xFF || (stream[i + 1] & 0xF0) != 0xF0 || length < 7) break;
    frames.emplace_back(stream.begin() + long(i), stream.begin() + long(i + length));
    i += length;
  }
  return frames;
}

}  // namespace VellRecorder::Testing
