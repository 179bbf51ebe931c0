// Quality figures of a finished recording, reported to the host application with "recorder-finished".
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace VellRecorder {

enum class MetricType : int32_t { kHistogram = 0, kCount = 1 };

struct Metric {
  std::map<std::wstring, std::wstring> tags;  // ordered by key, comparing UTF-16 code units
  MetricType type = MetricType::kHistogram;
  std::wstring name;
  int64_t value = 0;
};

// What the figures are computed from, gathered by the Recorder after it stopped.
struct RecordingFigures {
  struct AudioSource {
    int flow = 0;            // 0: system audio (loopback), otherwise a microphone
    std::wstring name;       // the microphone as configured
    uint64_t discontinuities = 0;
  };
  int64_t start_ns = 0;
  int64_t stop_ns = 0;
  std::vector<AudioSource> audio_sources;  // system audio first, then the microphone
  uint64_t video_frames = 0;
  int64_t height = 0;
  bool hardware_screen = false;
  bool camera = false;
};

// The audio metrics in source order, then "frames_per_second".
std::vector<Metric> ComputeMetrics(const RecordingFigures& figures);

nlohmann::json MetricToJson(const Metric& metric);

}  // namespace VellRecorder
