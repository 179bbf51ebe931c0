// The ADTS header that precedes every AAC frame handed to the sink. Needs no Windows API.
#pragma once

#include <cstdint>

namespace VellRecorder {

constexpr uint32_t kAdtsHeaderSize = 7;

// ISO/IEC 13818-7 ADTS header (MPEG-2 id, no CRC, AAC LC) for one raw AAC frame of `payload_size` bytes.
// Sample rates 48000 (index 3) and 44100 (index 4) only; any other throws std::out_of_range("invalid map<K, T>
// key"). A frame whose length (payload + header) does not fit the header's 13-bit field throws
// std::length_error: the field would wrap and every reader would lose sync from that frame on. No AAC-LC frame
// comes near it (at most 768 bytes per channel).
void WriteAdtsHeader(uint8_t header[kAdtsHeaderSize], uint16_t payload_size, uint32_t sample_rate,
                     uint16_t channels);

}  // namespace VellRecorder
