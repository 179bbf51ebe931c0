// The software screen session end to end under Wine: GDI capture of the virtual screen (something moving on
// it, started by the test's fixture), conversion, optional scaling and OpenH264 encoding into a real HLSSink.
// Each recording leaves its parts and a "recording.txt" in VELL_SWSESSION_DUMP_DIR for the decode check,
// which runs the host's ffmpeg over them (check_swsession_parts.sh).
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "media_transforms/mftestsupport.h"
#include "muxers/hlssink.h"
#include "sessions/swscreenrecordingsession.h"
#include "utils/clock.h"

namespace VellRecorder {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

fs::path DumpRoot() {
  if (const char* dir = std::getenv("VELL_SWSESSION_DUMP_DIR")) return fs::path(dir);
  return fs::temp_directory_path() / "vell-swsession";
}

// The decode check reads every recording it finds: none may be left from an earlier run.
[[maybe_unused]] const bool kDumpRootCleared = (fs::remove_all(DumpRoot()), true);

void Sleep(int ms) { std::this_thread::sleep_for(milliseconds(ms)); }

// One recording into a folder of its own: the session, its sink and what the sink reported.
class Recording {
 public:
  Recording(const std::string& name, RECT crop, SIZE output)
      : folder_(DumpRoot() / name),
        settings_(L"", crop, output),
        sink_(PrepareFolder(folder_), [this](std::wstring path) { OnPart(std::move(path)); }),
        session_(settings_, &sink_) {}

  SWScreenRecordingSession& Session() { return session_; }
  HLSSink& Sink() { return sink_; }

  void Start() {
    start_ns_ = MonotonicNowNs();
    session_.Start(start_ns_);
  }
  void Pause() {
    pause_ns_ = MonotonicNowNs();
    session_.Pause();
  }
  void Resume() {
    paused_ns_ += MonotonicNowNs() - pause_ns_;
    session_.Resume();
  }

  // Stops the session, closes the last part and writes what the decode check needs to know; the reported
  // parts are the next index each (the check decodes them by index).
  void Finish() {
    session_.Stop();
    const int64_t wall_ms = (MonotonicNowNs() - start_ns_) / 1000000;
    sink_.Finish();
    std::ofstream info(folder_ / "recording.txt");
    info << "width=" << settings_.OutputSize().cx << "\nheight=" << settings_.OutputSize().cy
         << "\nframes=" << sink_.VideoFrameCount() << "\nparts=" << Parts().size() << "\nwall_ms=" << wall_ms
         << "\npaused_ms=" << paused_ns_ / 1000000 << "\n";
    const std::vector<std::wstring> parts = Parts();
    for (size_t i = 0; i < parts.size(); ++i) {
      const fs::path part = folder_ / (L"part-" + std::to_wstring(i) + L".ts");
      EXPECT_EQ(fs::path(parts[i]).filename(), part.filename());
      EXPECT_GT(fs::exists(part) ? fs::file_size(part) : 0u, 0u) << part;
    }
  }

  std::vector<std::wstring> Parts() {
    std::lock_guard<std::mutex> lock(mutex_);
    return parts_;
  }

 private:
  static std::wstring PrepareFolder(const fs::path& folder) {
    fs::remove_all(folder);  // parts of an earlier run would be taken for this one's
    fs::create_directories(folder);
    return folder.wstring();
  }

  void OnPart(std::wstring path) {
    std::lock_guard<std::mutex> lock(mutex_);
    parts_.push_back(std::move(path));
  }

  // Declared before the sink, whose destructor may still report a part.
  std::mutex mutex_;
  std::vector<std::wstring> parts_;  // guarded by mutex_; appended on the encode thread
  fs::path folder_;
  VideoRecordingSettings settings_;
  HLSSink sink_;
  SWScreenRecordingSession session_;
  int64_t start_ns_ = 0;
  int64_t pause_ns_ = 0;
  int64_t paused_ns_ = 0;
};

// Runs Stop on another thread; a Stop that has not returned after `limit` is a hang, and the process cannot
// end normally (the session's destructor would wait for the same threads), so it ends here.
void StopOrDie(SWScreenRecordingSession& session, milliseconds limit = milliseconds(5000)) {
  auto stopped = std::async(std::launch::async, [&session] { session.Stop(); });
  if (stopped.wait_for(limit) != std::future_status::ready) {
    std::printf("FAIL: Stop did not return within %lld ms\n", static_cast<long long>(limit.count()));
    std::fflush(stdout);
    std::_Exit(1);
  }
}

constexpr SIZE kScreen{1920, 1080};

// Three threads at the capture size, four when scaling. Keyframes come at least every 30 frames: ten seconds
// cross two 4-second part boundaries at any usable rate. Upscaled, every scaled frame is larger than the captured.
TEST(SWScreenRecordingSessionTest, RecordsTheWholeScreenAtCaptureSizeScaledDownAndUp) {
  const struct {
    const char* name;
    SIZE output;
    int ms;
    size_t min_parts;
  } cases[] = {{"capture-size", kScreen, 10000, 2}, {"scaled-720p", {1280, 720}, 10000, 2},
               {"upscaled-1440p", {2560, 1440}, 3000, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Recording recording(c.name, RECT{}, c.output);
    ASSERT_EQ(recording.Session().Initialize(), S_OK);
    recording.Start();
    Sleep(c.ms);
    recording.Finish();
    EXPECT_GT(recording.Sink().VideoFrameCount(), 0u);
    EXPECT_GE(recording.Parts().size(), c.min_parts);
  }
}

TEST(SWScreenRecordingSessionTest, APauseDeliversNothingAndLeavesNoGapInTheTimeLine) {
  Recording recording("paused", RECT{}, SIZE{1280, 720});
  ASSERT_EQ(recording.Session().Initialize(), S_OK);
  recording.Start();
  Sleep(2000);
  // A quick pause and resume first, as a host may send them; the pause after it must still hold.
  recording.Pause();
  recording.Resume();
  Sleep(300);
  recording.Pause();
  Sleep(500);  // frames captured before the pause may still be on their way to the sink
  const uint64_t frames_at_pause = recording.Sink().VideoFrameCount();
  Sleep(2500);
  EXPECT_EQ(recording.Sink().VideoFrameCount(), frames_at_pause) << "frames were delivered while paused";
  recording.Resume();
  Sleep(2000);
  recording.Finish();
  EXPECT_GT(recording.Sink().VideoFrameCount(), frames_at_pause) << "nothing was delivered after Resume";
}

TEST(SWScreenRecordingSessionTest, StopWhilePausedReturnsPromptly) {
  for (const SIZE output : {kScreen, SIZE{1280, 720}}) {
    Recording recording("stop-while-paused", RECT{}, output);
    ASSERT_EQ(recording.Session().Initialize(), S_OK);
    recording.Start();
    Sleep(1000);
    recording.Pause();
    Sleep(600);  // long enough for every stage to be waiting
    StopOrDie(recording.Session());
    EXPECT_GT(recording.Sink().VideoFrameCount(), 0u);
  }
}

TEST(SWScreenRecordingSessionTest, StopsInAnyStateAndAnyNumberOfTimes) {
  {
    // Never started, never initialised: nothing to stop, nothing written.
    Recording recording("lifecycle", RECT{}, SIZE{1280, 720});
    StopOrDie(recording.Session());
    recording.Start();  // refused without Initialize
    StopOrDie(recording.Session());
    EXPECT_EQ(recording.Sink().VideoFrameCount(), 0u);
  }
  {
    // Stopped right after starting, while the stages may not have seen a frame yet; then again.
    Recording recording("lifecycle", RECT{}, SIZE{1280, 720});
    ASSERT_EQ(recording.Session().Initialize(), S_OK);
    recording.Start();
    StopOrDie(recording.Session());
    StopOrDie(recording.Session());
  }
  {
    // Destroyed while running: the destructor stops it.
    Recording recording("lifecycle", RECT{}, kScreen);
    ASSERT_EQ(recording.Session().Initialize(), S_OK);
    recording.Start();
    Sleep(500);
  }
}

}  // namespace
}  // namespace VellRecorder
