#include "recorder/metrics.h"

#include "utils/textconv.h"

namespace VellRecorder {

std::vector<Metric> ComputeMetrics(const RecordingFigures& figures) {
  const int64_t duration = figures.stop_ns - figures.start_ns;
  int32_t minutes = static_cast<int32_t>(duration / 60'000'000'000LL);
  if (minutes < 1) minutes = 1;
  int64_t seconds = duration / 1'000'000'000LL;
  if (seconds < 1) seconds = 1;

  std::vector<Metric> metrics;
  for (const auto& source : figures.audio_sources) {
    if (!source.recorded) continue;
    Metric metric;
    metric.name = L"audio_discontinuities_per_minute";
    metric.value = static_cast<int64_t>(source.discontinuities / static_cast<uint64_t>(minutes));
    metric.tags[L"device_name"] = source.flow != 0 ? source.name : L"loopback";
    metrics.push_back(std::move(metric));
  }
  // Sound a host may want to tell of: a source that lost its device for a while, or was never recorded at all
  // (then the whole recording, pauses included, like the other figures' duration).
  for (const auto& source : figures.audio_sources) {
    Metric lost;
    lost.name = L"audio_lost_ms";
    lost.value = (source.recorded ? source.lost_ns : duration) / 1'000'000LL;
    lost.tags[L"device_name"] = source.flow != 0 ? source.name : L"loopback";
    lost.tags[L"recorded"] = source.recorded ? L"true" : L"false";
    metrics.push_back(std::move(lost));
  }
  if (figures.camera) {
    // Video a host may want to tell of: a camera lost for a while, or an encoder late with a keyframe.
    Metric lost;
    lost.name = L"camera_video_lost_ms";
    lost.value = figures.camera_lost_ms;
    lost.tags[L"device_name"] = figures.camera_name;
    metrics.push_back(std::move(lost));
  }
  if (!figures.hardware_ended_reason.empty()) {
    // Whole seconds from the start, pauses included: when the GPU capture ended, and what recorded after it.
    Metric ended;
    ended.name = L"hardware_capture_ended";
    ended.value = (figures.hardware_ended_ns - figures.start_ns) / 1'000'000'000LL;
    ended.tags[L"reason"] = ToWide(figures.hardware_ended_reason);
    ended.tags[L"continued_in"] = figures.software_took_over ? L"software" : L"nothing";
    metrics.push_back(std::move(ended));
  }
  Metric frames;
  frames.name = L"frames_per_second";
  frames.value = static_cast<int64_t>(figures.video_frames / static_cast<uint64_t>(seconds));
  frames.tags[L"resolution"] = std::to_wstring(figures.height) + L"p";
  frames.tags[L"video_source"] = figures.camera ? L"camera" : L"screen";
  frames.tags[L"acceleration"] = figures.hardware_screen ? L"hardware" : L"software";
  metrics.push_back(std::move(frames));
  return metrics;
}

nlohmann::json MetricToJson(const Metric& metric) {
  nlohmann::json object = {{"metric_name", ToUtf8(metric.name)}, {"metric_value", metric.value}};
  if (metric.type == MetricType::kHistogram) object["metric_type"] = "histogram";
  if (metric.type == MetricType::kCount) object["metric_type"] = "count";
  nlohmann::json tags = nlohmann::json::array();
  for (const auto& [key, value] : metric.tags) tags.push_back({ToUtf8(key), ToUtf8(value)});
  object["tags"] = std::move(tags);
  return object;
}

}  // namespace VellRecorder
