// An in-memory RIFF/WAVE image of one second of digital silence, for the audio session to play in a loop
// so that the default output device never goes idle while it records.
#pragma once

#include <cstdint>
#include <vector>

namespace VellRecorder {

// Integer PCM, as described by a WAVEFORMATEX.
struct PcmFormat {
  uint16_t channels = 0;
  uint32_t samples_per_second = 0;
  uint32_t average_bytes_per_second = 0;
  uint16_t block_align = 0;
  uint16_t bits_per_sample = 0;
};

// 44 header bytes and one second of zero samples. The RIFF size comes from the format's own average
// bytes per second; the byte rate and data size are computed from channels, bits and rate (the two agree
// for every format the daemon uses).
std::vector<uint8_t> MakeSilenceWav(const PcmFormat& format);

}  // namespace VellRecorder
