// Measures a recorded tone: its frequency from the zero crossings and its level, so audio tests can check
// that what came out is the signal that went in, not only that bytes arrived.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace VellRecorder::Testing {

// Channel `channel` of interleaved 16-bit little-endian PCM.
inline std::vector<int16_t> ChannelSamples(const std::vector<uint8_t>& pcm, int channels, int channel) {
  std::vector<int16_t> samples;
  const size_t frame_bytes = 2 * static_cast<size_t>(channels);
  for (size_t at = 2 * static_cast<size_t>(channel); at + 2 <= pcm.size(); at += frame_bytes) {
    int16_t value;
    std::memcpy(&value, &pcm[at], 2);
    samples.push_back(value);
  }
  return samples;
}

// Rising zero crossings per second, interpolated between the samples around each crossing.
inline double ZeroCrossingFrequency(const std::vector<int16_t>& samples, double sample_rate) {
  double first = -1, last = -1;
  int crossings = 0;
  for (size_t i = 1; i < samples.size(); ++i) {
    if (samples[i - 1] < 0 && samples[i] >= 0) {
      const double at = static_cast<double>(i - 1) + static_cast<double>(-samples[i - 1]) /
                                                          static_cast<double>(samples[i] - samples[i - 1]);
      if (first < 0) first = at; else ++crossings;
      last = at;
    }
  }
  return crossings == 0 ? 0.0 : crossings * sample_rate / (last - first);
}

inline double Rms(const std::vector<int16_t>& samples) {
  double sum = 0;
  for (int16_t s : samples) sum += static_cast<double>(s) * s;
  return samples.empty() ? 0.0 : std::sqrt(sum / static_cast<double>(samples.size()));
}

}  // namespace VellRecorder::Testing
