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
    int64_t lost_ns = 0;     // of its sound replaced by silence
    bool recorded = true;    // false: asked for, but none of its sound is in the recording
  };
  int64_t start_ns = 0;
  int64_t stop_ns = 0;
  std::vector<AudioSource> audio_sources;  // asked for: system audio first, then the microphone
  uint64_t video_frames = 0;
  int64_t height = 0;
  bool hardware_screen = false;  // the GPU screen session recorded to the end
  bool camera = false;
  std::wstring camera_name;  // as the host named it
  int64_t camera_lost_ms = 0;  // of the recording without the camera's video
  // The GPU screen session ended mid-recording: why ("duplication_lost", ...; empty when it did not), when (on
  // the monotonic clock), and whether the software session took over.
  std::string hardware_ended_reason;
  int64_t hardware_ended_ns = 0;
  bool software_took_over = false;
};

// "audio_discontinuities_per_minute" of each recorded audio source and "audio_lost_ms" of each one asked for, in
// source order; then "camera_video_lost_ms" of a camera recording; then "hardware_capture_ended" when the GPU
// screen session ended mid-recording; then "frames_per_second".
std::vector<Metric> ComputeMetrics(const RecordingFigures& figures);

nlohmann::json MetricToJson(const Metric& metric);

}  // namespace VellRecorder
