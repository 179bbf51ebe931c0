// A Recorder with a screen and an audio session under Wine: the audio session runs beside the screen session in
// the same sink, and the metrics name each recorded source. Loopback capture is not available under Wine, so
// system audio is left out; the microphone is PulseAudio's "Monitor of Null Output".
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
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
  std::vector<std::wstring> audio_devices;  // "device_name" of each audio metric, in order
};

TEST(RecorderAudioTest, AudioMetricsNameTheRecordedSourcesAndVideoGoesOn) {
  const Expected cases[] = {
      {"microphone", false, L"Monitor of Null Output", {L"Monitor of Null Output"}},
      {"loopback-left-out", true, L"Monitor of Null Output", {L"Monitor of Null Output"}},
      {"unknown-microphone", false, L"No Such Microphone", {}},
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
    ASSERT_EQ(metrics.size(), c.audio_devices.size() + 1);
    for (size_t i = 0; i < c.audio_devices.size(); ++i) {
      EXPECT_EQ(metrics[i].name, L"audio_discontinuities_per_minute");
      EXPECT_EQ(metrics[i].tags, (std::map<std::wstring, std::wstring>{{L"device_name", c.audio_devices[i]}}));
    }
    EXPECT_EQ(metrics.back().name, L"frames_per_second");
    EXPECT_GT(metrics.back().value, 0) << "no video was recorded";
    EXPECT_GE(parts.size(), 1u);
  }
}

}  // namespace
}  // namespace VellRecorder
