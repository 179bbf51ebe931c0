// How one packet taken from a capture endpoint is accounted for. Needs no Windows API, so the rules are
// tested natively; the values are WASAPI's _AUDCLNT_BUFFERFLAGS.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "media_sources/audio/audioringbuffer.h"

namespace VellRecorder {

inline constexpr uint32_t kPacketDataDiscontinuity = 0x1;
inline constexpr uint32_t kPacketSilent = 0x2;
inline constexpr uint32_t kPacketTimestampError = 0x4;

// Only a packet flagged as a discontinuity and nothing else counts: the metrics count the gaps of a running
// stream, and a silent or badly timed packet that also carries the flag is the endpoint starting or glitching,
// not a loss the recording shows.
constexpr bool CountsAsDiscontinuity(uint32_t flags) { return flags == kPacketDataDiscontinuity; }

// The endpoint asks for the packet's bytes to be taken as silence whatever they hold.
constexpr bool IsSilentPacket(uint32_t flags) { return (flags & kPacketSilent) != 0; }

// Writes one packet of `bytes` bytes into `ring`, as zeros when it is flagged silent (its bytes may then be
// anything; `data` may be null). `scratch` holds the zeros between calls. False, and nothing written, when the
// ring cannot hold it.
bool WritePacket(AudioRingBuffer* ring, const uint8_t* data, size_t bytes, uint32_t flags,
                 std::vector<uint8_t>* scratch);

}  // namespace VellRecorder
