// A Recorder's screen recording under Wine over the duplication stand-in and the H.264 encoder stand-in: when
// the GPU session ends mid-recording the software session takes over on the same time line, and the metrics say
// so; a loss the GPU session recovers from changes nothing.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <iostream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "duplicationstandin.h"
#include "media_transforms/mftestsupport.h"
#include "muxers/ts_muxer.h"
#include "muxers/ts_reader.h"
#include "recorder/recorder.h"
#include "testing/watchdog.h"
#include "utils/log.h"

namespace VellRecorder {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

const Metric* Find(const std::vector<Metric>& metrics, const std::wstring& name) {
  for (const Metric& metric : metrics) {
    if (metric.name == name) return &metric;
  }
  return nullptr;
}

TEST(RecorderScreenTest, AGpuCaptureThatEndsMidRecordingGoesOnInSoftware) {
  Log::Init(Log::Severity::kWarning, &std::cerr);  // a failing case shows why
  ASSERT_EQ(StandIn::InstallDuplication(), S_OK);
  const struct {
    const char* name;
    int refusals;  // of every re-creation after the loss
    bool falls_back;
  } cases[] = {{"lost-for-good", 100000, true}, {"lost-for-a-moment", 5, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StandIn::ClearFaults();
    const fs::path folder = fs::temp_directory_path() / "vell-recorder-screen" / c.name;
    fs::remove_all(folder);
    std::mutex mutex;
    std::vector<std::wstring> parts;  // guarded by mutex: reported on a session thread or in Stop
    const auto part_count = [&] {
      std::lock_guard<std::mutex> lock(mutex);
      return parts.size();
    };
    Recorder recorder(folder.wstring(), [&](std::wstring path) {
      std::lock_guard<std::mutex> lock(mutex);
      parts.push_back(std::move(path));
    });
    StandIn::LoseAccessAfter(20, c.refusals);
    const StandIn::Counts before = StandIn::GetCounts();
    recorder.CreateScreenRecording(L"", RECT{}, 1920, 1080);
    ASSERT_TRUE(recorder.Start());
    if (c.falls_back) {
      // The GPU session gives up after its 100th refused re-creation; the software session's frames are in a
      // whole part once two more parts are reported.
      Testing::WithinOrDie(milliseconds(60000), "the last refusal", [&] {
        while (StandIn::GetCounts().duplicate_calls - before.duplicate_calls < 101) {
          std::this_thread::sleep_for(milliseconds(20));
        }
      });
      const size_t parts_then = part_count();
      Testing::WithinOrDie(milliseconds(60000), "a part of the software session's", [&] {
        while (part_count() < parts_then + 2) std::this_thread::sleep_for(milliseconds(20));
      });
    } else {
      Testing::WithinOrDie(milliseconds(60000), "images after the loss", [&] {
        while (StandIn::GetCounts().images < before.images + 50) std::this_thread::sleep_for(milliseconds(20));
      });
    }
    Testing::WithinOrDie(Testing::kHangLimit, "Recorder::Stop", [&recorder] { recorder.Stop(); });

    const std::vector<Metric> metrics = recorder.GetMetrics();
    const Metric* ended = Find(metrics, L"hardware_capture_ended");
    ASSERT_EQ(metrics.back().name, L"frames_per_second");
    EXPECT_EQ(metrics.back().tags.at(L"acceleration"), c.falls_back ? L"software" : L"hardware");
    if (!c.falls_back) {
      EXPECT_EQ(ended, nullptr);
      continue;
    }
    ASSERT_NE(ended, nullptr);
    EXPECT_EQ(ended->tags, (std::map<std::wstring, std::wstring>{{L"continued_in", L"software"},
                                                                 {L"reason", L"duplication_lost"}}));
    // The GPU session's 20 frames up to the loss, then the software session's, on one time line.
    ASSERT_GE(parts.size(), 2u);
    std::vector<std::string> errors;
    std::vector<Testing::PesPacket> frames;
    for (const std::wstring& part : parts) {
      const auto pes = Testing::ReadPes(fs::path(part), TsMuxer::kVideoPid, &errors);
      frames.insert(frames.end(), pes.begin(), pes.end());
      EXPECT_FALSE(pes.empty()) << "a part without video";
    }
    for (const std::string& error : errors) ADD_FAILURE() << error;
    EXPECT_GT(frames.size(), 20u) << "nothing was recorded after the loss";
    for (size_t i = 1; i < frames.size(); ++i) ASSERT_GT(frames[i].pts, frames[i - 1].pts) << "frame " << i;
  }
  StandIn::ClearFaults();
}

// Pause and Resume reach the screen session: no desktop image is taken while paused, and images come again after.
TEST(RecorderScreenTest, PauseAndResumeReachTheScreenSession) {
  ASSERT_EQ(StandIn::InstallDuplication(), S_OK);
  StandIn::ClearFaults();
  const fs::path folder = fs::temp_directory_path() / "vell-recorder-screen" / "paused";
  fs::remove_all(folder);
  Recorder recorder(folder.wstring(), [](std::wstring) {});
  recorder.CreateScreenRecording(L"", RECT{}, 1920, 1080);
  ASSERT_TRUE(recorder.Start());
  const auto images_reach = [](long count, const char* what) {
    Testing::WithinOrDie(milliseconds(60000), what, [count] {
      while (StandIn::GetCounts().images < count) std::this_thread::sleep_for(milliseconds(20));
    });
  };
  images_reach(StandIn::GetCounts().images + 10, "images before the pause");
  ASSERT_TRUE(recorder.Pause());
  // The loop under way when Pause came may still take its one image.
  std::this_thread::sleep_for(milliseconds(500));
  const long at_pause = StandIn::GetCounts().images;
  std::this_thread::sleep_for(milliseconds(2000));
  EXPECT_EQ(StandIn::GetCounts().images, at_pause) << "images were taken while paused";
  ASSERT_TRUE(recorder.Resume());
  images_reach(at_pause + 10, "images after Resume");
  Testing::WithinOrDie(Testing::kHangLimit, "Recorder::Stop", [&recorder] { recorder.Stop(); });
}

}  // namespace
}  // namespace VellRecorder
