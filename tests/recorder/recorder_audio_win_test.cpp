// A Recorder with a screen and an audio session under Wine: the audio session runs beside the screen session in
// the same sink, and the metrics name each recorded source. Loopback capture is not available under Wine, so
// system audio is left out; the microphone is PulseAudio's "Monitor of Null Output".
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "media_transforms/mftestsupport.h"
#include "recorder/recorder.h"
#include "testing/watchdog.h"

namespace VellRecorder {
namespace {

namespace fs = std::filesystem;

struct Expected {
  const char* name;
  bool system_audio;
  const wchar_t* microphone;
  std::vector<std::wstring> audio_devices;  // "device_name" of each discontinuity metric, in order
  std::vector<std::map<std::wstring, std::wstring>> lost;  // tags of each "audio_lost_ms", in order
};

// A source that cannot be recorded is named with "recorded" false: the host learns that the sound it asked for is
// not in the recording.
TEST(RecorderAudioTest, AudioMetricsNameTheRecordedSourcesAndVideoGoesOn) {
  const std::map<std::wstring, std::wstring> monitor{{L"device_name", L"Monitor of Null Output"}, {L"recorded", L"true"}};
  const Expected cases[] = {
      {"microphone", false, L"Monitor of Null Output", {L"Monitor of Null Output"}, {monitor}},
      {"loopback-left-out", true, L"Monitor of Null Output", {L"Monitor of Null Output"},
       {{{L"device_name", L"loopback"}, {L"recorded", L"false"}}, monitor}},
      {"unknown-microphone", false, L"No Such Microphone", {},
       {{{L"device_name", L"No Such Microphone"}, {L"recorded", L"false"}}}},
  };
  for (const Expected& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path folder = fs::temp_directory_path() / "vell-recorder-audio" / c.name;
    fs::remove_all(folder);
    std::vector<std::wstring> parts;  // reported on the screen thread or in Stop; read after Stop
    Recorder recorder(folder.wstring(), [&parts](std::wstring path) { parts.push_back(std::move(path)); });
    recorder.CreateScreenRecording(L"", RECT{}, 640, 360);
    recorder.CreateAudioRecording(c.system_audio, c.microphone);
    ASSERT_TRUE(recorder.Start());
    std::this_thread::sleep_for(std::chrono::milliseconds(3000));
    Testing::WithinOrDie(Testing::kHangLimit, "Recorder::Stop", [&recorder] { recorder.Stop(); });

    const std::vector<Metric> metrics = recorder.GetMetrics();
    ASSERT_EQ(metrics.size(), c.audio_devices.size() + c.lost.size() + 1);
    for (size_t i = 0; i < c.audio_devices.size(); ++i) {
      EXPECT_EQ(metrics[i].name, L"audio_discontinuities_per_minute");
      EXPECT_EQ(metrics[i].tags, (std::map<std::wstring, std::wstring>{{L"device_name", c.audio_devices[i]}}));
    }
    for (size_t i = 0; i < c.lost.size(); ++i) {
      const Metric& lost = metrics[c.audio_devices.size() + i];
      EXPECT_EQ(lost.name, L"audio_lost_ms");
      EXPECT_EQ(lost.tags, c.lost[i]);
      // Nothing of a recorded source was lost; one never recorded misses the whole recording.
      if (lost.tags.at(L"recorded") == L"true") {
        EXPECT_EQ(lost.value, 0);
      } else {
        EXPECT_GE(lost.value, 3000);
      }
    }
    EXPECT_EQ(metrics.back().name, L"frames_per_second");
    EXPECT_GT(metrics.back().value, 0) << "no video was recorded";
    EXPECT_GE(parts.size(), 1u);
  }
}

}  // namespace
}  // namespace VellRecorder
