// How one packet taken from a capture endpoint is accounted for. Needs no Windows API, so the rules are
// tested natively; the values are WASAPI's _AUDCLNT_BUFFERFLAGS.
#pragma once

#include <cstdint>

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

}  // namespace VellRecorder
