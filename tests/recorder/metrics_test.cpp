#include <gtest/gtest.h>

#include "recorder/metrics.h"

namespace VellRecorder {
namespace {

constexpr int64_t kSecond = 1'000'000'000;

RecordingFigures Figures(int64_t duration_ns, uint64_t frames) {
  RecordingFigures f;
  f.start_ns = 5 * kSecond;  // the clock does not start at zero
  f.stop_ns = f.start_ns + duration_ns;
  f.video_frames = frames;
  f.height = 1080;
  return f;
}

TEST(MetricsTest, RatesUseTruncatedWholeSecondsAndMinutesOfAtLeastOne) {
  RecordingFigures ninety = Figures(90 * kSecond, 2700);
  ninety.audio_sources = {{1, L"Mic", 7}};
  auto m = ComputeMetrics(ninety);
  ASSERT_EQ(m.size(), 3u);
  EXPECT_EQ(m[2].value, 30);
  EXPECT_EQ(m[0].value, 7);  // minutes = 1

  EXPECT_EQ(ComputeMetrics(Figures(1500'000'000, 44))[0].value, 44);  // 1.5 s counts as 1 s
  EXPECT_EQ(ComputeMetrics(Figures(0, 10))[0].value, 10);             // never a division by zero
  // Under a minute the discontinuities are counted over one minute, not divided by zero.
  RecordingFigures short_one = Figures(20 * kSecond, 600);
  short_one.audio_sources = {{1, L"Mic", 3}};
  EXPECT_EQ(ComputeMetrics(short_one)[0].value, 3);

  RecordingFigures long_one = Figures(150 * kSecond, 4500);
  long_one.audio_sources = {{1, L"Mic", 5}};
  m = ComputeMetrics(long_one);
  EXPECT_EQ(m[0].value, 2);  // 5 / 2 minutes, truncated
  EXPECT_EQ(m[2].value, 30);
}

// Every source asked for tells how much of its sound is missing: a recorded one its lost stretches, one never
// recorded the whole recording (and it has no discontinuity rate).
TEST(MetricsTest, SoundLostIsToldForEverySourceAskedFor) {
  RecordingFigures f = Figures(30 * kSecond + 400'000'000, 900);
  f.audio_sources = {{0, L"", 0, 0, false}, {1, L"Headset", 2, 6'789'000'000}};
  const auto m = ComputeMetrics(f);
  ASSERT_EQ(m.size(), 4u);
  EXPECT_EQ(m[0].name, L"audio_discontinuities_per_minute");
  EXPECT_EQ(m[0].tags.at(L"device_name"), L"Headset");
  for (size_t i : {1, 2}) EXPECT_EQ(m[i].name, L"audio_lost_ms");
  EXPECT_EQ(m[1].value, 30400);
  EXPECT_EQ(m[1].tags, (std::map<std::wstring, std::wstring>{{L"device_name", L"loopback"}, {L"recorded", L"false"}}));
  EXPECT_EQ(m[2].value, 6789);
  EXPECT_EQ(MetricToJson(m[2]).dump(),
            R"({"metric_name":"audio_lost_ms","metric_type":"histogram","metric_value":6789,)"
            R"("tags":[["device_name","Headset"],["recorded","true"]]})");
}

TEST(MetricsTest, AudioSourcesInOrderThenFramesWithTheirTags) {
  RecordingFigures f = Figures(60 * kSecond, 1800);
  f.audio_sources = {{0, L"", 3}, {1, L"Headset (USB)", 1}};
  f.hardware_screen = true;
  f.height = 720;
  const auto m = ComputeMetrics(f);
  ASSERT_EQ(m.size(), 5u);
  EXPECT_EQ(m[0].tags.at(L"device_name"), L"loopback");
  EXPECT_EQ(m[1].tags.at(L"device_name"), L"Headset (USB)");
  EXPECT_EQ(m[4].name, L"frames_per_second");
  EXPECT_EQ(m[4].tags.at(L"resolution"), L"720p");
  EXPECT_EQ(m[4].tags.at(L"acceleration"), L"hardware");
  EXPECT_EQ(m[4].tags.at(L"video_source"), L"screen");

  RecordingFigures camera = Figures(60 * kSecond, 1800);
  camera.camera = true;
  const auto c = ComputeMetrics(camera);
  ASSERT_EQ(c.size(), 2u);
  EXPECT_EQ(c[1].tags.at(L"video_source"), L"camera");
  EXPECT_EQ(c[1].tags.at(L"acceleration"), L"software");
}

// A camera recording tells how much of its video is missing, after the sound's figures and before the frames
// (none when nothing is: a host can tell the figure from a camera without one).
TEST(MetricsTest, CameraVideoLostIsToldAfterTheSound) {
  RecordingFigures f = Figures(60 * kSecond, 1800);
  f.audio_sources = {{1, L"Mic", 0}};
  f.camera = true;
  f.camera_name = L"Integrated Camera";
  f.camera_lost_ms = 5230;
  const auto m = ComputeMetrics(f);
  ASSERT_EQ(m.size(), 4u);
  EXPECT_EQ(m[1].name, L"audio_lost_ms");
  EXPECT_EQ(MetricToJson(m[2]).dump(),
            R"({"metric_name":"camera_video_lost_ms","metric_type":"histogram","metric_value":5230,)"
            R"("tags":[["device_name","Integrated Camera"]]})");
  EXPECT_EQ(m[3].name, L"frames_per_second");
}

// A GPU capture that ended mid-recording is told between the audio metrics and the frames, whether or not the
// software session took over; the frames are then not the hardware's.
TEST(MetricsTest, AGpuCaptureThatEndedMidRecordingIsToldBeforeTheFrames) {
  RecordingFigures f = Figures(60 * kSecond, 1800);
  f.audio_sources = {{1, L"Mic", 0}};
  f.hardware_ended_reason = "duplication_lost";
  f.hardware_ended_ns = f.start_ns + 12'900'000'000;
  for (const bool took_over : {true, false}) {
    f.software_took_over = took_over;
    const auto m = ComputeMetrics(f);
    ASSERT_EQ(m.size(), 4u);
    EXPECT_EQ(m[2].name, L"hardware_capture_ended");
    EXPECT_EQ(m[2].value, 12);  // whole seconds from the start
    EXPECT_EQ(m[2].tags, (std::map<std::wstring, std::wstring>{{L"continued_in", took_over ? L"software" : L"nothing"},
                                                               {L"reason", L"duplication_lost"}}));
    EXPECT_EQ(m[3].tags.at(L"acceleration"), L"software");
  }
  EXPECT_EQ(MetricToJson(ComputeMetrics(f)[2]).dump(),
            R"({"metric_name":"hardware_capture_ended","metric_type":"histogram","metric_value":12,)"
            R"("tags":[["continued_in","nothing"],["reason","duplication_lost"]]})");
}

TEST(MetricsTest, JsonHasTheKeysTypesAndTagOrderTheHostReads) {
  const auto m = ComputeMetrics(Figures(10 * kSecond, 300));
  EXPECT_EQ(MetricToJson(m[0]).dump(),
            R"({"metric_name":"frames_per_second","metric_type":"histogram","metric_value":30,)"
            R"("tags":[["acceleration","software"],["resolution","1080p"],["video_source","screen"]]})");
  Metric count;
  count.type = MetricType::kCount;
  count.name = L"n";
  EXPECT_EQ(MetricToJson(count).dump(), R"({"metric_name":"n","metric_type":"count","metric_value":0,"tags":[]})");
  Metric unknown;
  unknown.type = static_cast<MetricType>(7);
  EXPECT_FALSE(MetricToJson(unknown).contains("metric_type"));
}

}  // namespace
}  // namespace VellRecorder
