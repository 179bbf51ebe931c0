// The recording's audio format, the one format of the whole audio path: what the resampler puts out, what the
// mixer, the chunker and the time line count in, what the silence loop plays and what the AAC encoder takes.
// Needs no Windows API.
#pragma once

#include <cstdint>

namespace VellRecorder::RecordingAudio {

inline constexpr uint32_t kSampleRate = 48000;
inline constexpr uint16_t kChannels = 1;  // front centre
inline constexpr uint16_t kBitsPerSample = 16;  // signed integer PCM
inline constexpr uint16_t kBlockAlign = kChannels * kBitsPerSample / 8;  // bytes per sample of all channels
inline constexpr uint32_t kBytesPerSecond = kSampleRate * kBlockAlign;

}  // namespace VellRecorder::RecordingAudio
