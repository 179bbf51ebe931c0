// The software screen session end to end under Wine: GDI capture of the virtual screen (something moving on
// it, started by the test's fixture), conversion, optional scaling and OpenH264 encoding into a real HLSSink.
// Each recording leaves its parts and a "recording.txt" in VELL_SWSESSION_DUMP_DIR for the decode check,
// which runs the host's ffmpeg over them (check_swsession_parts.sh).
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "media_transforms/mftestsupport.h"
#include "muxers/hlssink.h"
#include "muxers/ts_muxer.h"
#include "muxers/ts_reader.h"
#include "sessions/sessionrecording.h"
#include "sessions/swscreenrecordingsession.h"
#include "testing/watchdog.h"
#include "utils/clock.h"

namespace VellRecorder {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using Testing::kHangLimit;
using Testing::WithinOrDie;

fs::path DumpRoot() { return Testing::DumpRoot("VELL_SWSESSION_DUMP_DIR", "vell-swsession"); }

// The decode check reads every recording it finds: none may be left from an earlier run.
[[maybe_unused]] const bool kDumpRootCleared = (fs::remove_all(DumpRoot()), true);

void Sleep(int ms) { std::this_thread::sleep_for(milliseconds(ms)); }

// One recording into a folder of its own under DumpRoot().
class Recording : public Testing::SessionRecording<SWScreenRecordingSession> {
 public:
  Recording(const std::string& name, RECT crop, SIZE output) : SessionRecording(DumpRoot() / name, crop, output) {}
};

void StopOrDie(SWScreenRecordingSession& session) {
  WithinOrDie(kHangLimit, "SWScreenRecordingSession::Stop", [&session] { session.Stop(); });
}

// Polls the sink's frame count until `done` holds for it; false when it does not within `limit`. Frames take
// their time through the stages on a busy machine: waits end on what happened, not after a fixed time.
template <typename Done>
bool WaitForFrames(const HLSSink& sink, Done done, milliseconds limit = milliseconds(15000)) {
  for (auto waited = milliseconds(0); waited < limit; waited += milliseconds(100)) {
    if (done(sink.VideoFrameCount())) return true;
    Sleep(100);
  }
  return done(sink.VideoFrameCount());
}

// Waits until no frame has arrived for `quiet`: the frames captured before a pause have gone through.
uint64_t SettledFrameCount(const HLSSink& sink, milliseconds quiet = milliseconds(1000)) {
  uint64_t count = sink.VideoFrameCount();
  auto still = milliseconds(0);
  const bool settled = WaitForFrames(sink, [&](uint64_t now) {
    still = now == count ? still + milliseconds(100) : milliseconds(0);
    count = now;
    return still >= quiet;
  });
  EXPECT_TRUE(settled) << "frames kept arriving while paused";
  return count;
}

constexpr SIZE kScreen{1920, 1080};

// Three threads at the capture size, four when scaling. Upscaled, every scaled frame is larger than the
// captured. How many parts a recording has depends on the frame rate the machine gives it (keyframes come every
// 30 frames); the decode check verifies each cut against the keyframes and their times.
TEST(SWScreenRecordingSessionTest, RecordsTheWholeScreenAtCaptureSizeScaledDownAndUp) {
  const struct {
    const char* name;
    SIZE output;
    int ms;
  } cases[] = {{"capture-size", kScreen, 10000},
               {"scaled-720p", {1280, 720}, 10000},
               {"upscaled-1440p", {2560, 1440}, 3000}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Recording recording(c.name, RECT{}, c.output);
    ASSERT_EQ(recording.Session().Initialize(), S_OK);
    recording.Start();
    Sleep(c.ms);
    EXPECT_TRUE(WaitForFrames(recording.Sink(), [](uint64_t n) { return n > 0; })) << "no frame at all";
    recording.Finish();
    EXPECT_GE(recording.Parts().size(), 1u);
  }
}

TEST(SWScreenRecordingSessionTest, APauseDeliversNothingAndLeavesNoGapInTheTimeLine) {
  Recording recording("paused", RECT{}, SIZE{1280, 720});
  ASSERT_EQ(recording.Session().Initialize(), S_OK);
  recording.Start();
  ASSERT_TRUE(WaitForFrames(recording.Sink(), [](uint64_t n) { return n >= 5; })) << "too few frames to start with";
  // A quick pause and resume first, as a host may send them; the pause after it must still hold.
  recording.Pause();
  recording.Resume();
  Sleep(300);
  recording.Pause();
  // Settling and three seconds more: longer than the largest gap the decode check allows, so that a pause left
  // in the time line shows there.
  const uint64_t frames_at_pause = SettledFrameCount(recording.Sink());
  Sleep(3000);
  EXPECT_EQ(recording.Sink().VideoFrameCount(), frames_at_pause) << "frames were delivered while paused";
  recording.Resume();
  EXPECT_TRUE(WaitForFrames(recording.Sink(), [&](uint64_t n) { return n >= frames_at_pause + 5; }))
      << "nothing was delivered after Resume";
  recording.Finish();
}

TEST(SWScreenRecordingSessionTest, StopWhilePausedReturnsPromptly) {
  for (const SIZE output : {kScreen, SIZE{1280, 720}}) {
    Recording recording("stop-while-paused", RECT{}, output);
    ASSERT_EQ(recording.Session().Initialize(), S_OK);
    recording.Start();
    EXPECT_TRUE(WaitForFrames(recording.Sink(), [](uint64_t n) { return n > 0; }));
    recording.Pause();
    SettledFrameCount(recording.Sink());  // every stage is waiting now
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
    auto recording = std::make_unique<Recording>("lifecycle", RECT{}, kScreen);
    ASSERT_EQ(recording->Session().Initialize(), S_OK);
    recording->Start();
    Sleep(500);
    WithinOrDie(kHangLimit, "destroying a running session", [&recording] { recording.reset(); });
  }
}

// A screen whose every copy takes `copy_ms`: grey pixels, and the instant each copy began.
class SlowCopySource : public VideoSource {
 public:
  struct Copies {
    std::mutex mutex;
    std::vector<int64_t> began_ns;  // guarded by mutex; appended on the capture thread
    std::vector<std::thread::id> threads;  // guarded by mutex; of each copy
  };

  SlowCopySource(VideoRecordingSettings settings, std::shared_ptr<Copies> copies, int copy_ms = 15)
      : VideoSource(std::move(settings)), copies_(std::move(copies)), copy_ms_(copy_ms) {}

  HRESULT CaptureToSystemMemory(uint8_t** destination) override {
    {
      std::lock_guard<std::mutex> lock(copies_->mutex);
      copies_->began_ns.push_back(MonotonicNowNs());
      copies_->threads.push_back(std::this_thread::get_id());
    }
    std::memset(*destination, 0x80, static_cast<size_t>(settings_.CaptureWidth()) * settings_.CaptureHeight() * 4);
    Sleep(copy_ms_);
    return S_OK;
  }

 private:
  std::shared_ptr<Copies> copies_;
  const int copy_ms_;
};

// Video PTS (90 kHz) of every part the recording reported, in order.
std::vector<uint64_t> VideoPts(const std::vector<std::wstring>& parts) {
  std::vector<uint64_t> pts;
  for (const std::wstring& part : parts) {
    std::vector<std::string> errors;
    for (const auto& pes : Testing::ReadPes(fs::path(part), TsMuxer::kVideoPid, &errors)) pts.push_back(pes.pts);
    for (const std::string& error : errors) ADD_FAILURE() << error;
  }
  return pts;
}

// A frame shows the screen as its copy began: a slow copy must not make it late against the sound. Each frame's
// time is the start of a copy (the first one at or after it, less the few microseconds before the source is
// called); a frame stamped when its copy ended would be 15 ms or more past its copy's start.
TEST(SWScreenRecordingSessionTest, FramesAreTimedWhenTheirCopyBegan) {
  auto copies = std::make_shared<SlowCopySource::Copies>();
  Recording recording("slow-copy", RECT{0, 0, 320, 240}, SIZE{320, 240});
  ASSERT_EQ(recording.Session().Initialize(std::make_unique<SlowCopySource>(recording.Settings(), copies)), S_OK);
  recording.Start();
  EXPECT_TRUE(WaitForFrames(recording.Sink(), [](uint64_t n) { return n >= 30; }));
  recording.Finish();
  const std::vector<uint64_t> pts = VideoPts(recording.Parts());
  ASSERT_GE(pts.size(), 30u);
  std::lock_guard<std::mutex> lock(copies->mutex);
  std::vector<double> before_copy_ms;  // from each frame's time to the first copy start at or after it
  for (const uint64_t p : pts) {
    // 90 kHz ticks are cut from whole microseconds: a frame's time may be up to 12 us before its stamp.
    const int64_t frame_ns = recording.StartNs() + static_cast<int64_t>(p) * 100000 / 9;
    const auto next = std::lower_bound(copies->began_ns.begin(), copies->began_ns.end(), frame_ns);
    ASSERT_NE(next, copies->began_ns.end()) << "a frame timed after the last copy began: pts " << p;
    before_copy_ms.push_back((*next - frame_ns) / 1e6);
  }
  std::sort(before_copy_ms.begin(), before_copy_ms.end());
  // The median: on a busy machine a thread may be held up between reading the clock and calling the source.
  EXPECT_LT(before_copy_ms[before_copy_ms.size() / 2], 2.0);
}

// A thread's first copy of the screen costs several times a later one under Wine (hundreds of milliseconds on a
// busy machine): the capture thread makes it before the recording starts, where it cannot hold up the second
// frame, and every frame's copy is made on that thread.
TEST(SWScreenRecordingSessionTest, TheCaptureThreadCopiesOnceBeforeTheStart) {
  auto copies = std::make_shared<SlowCopySource::Copies>();
  Recording recording("warm-up", RECT{0, 0, 320, 240}, SIZE{320, 240});
  ASSERT_EQ(recording.Session().Initialize(std::make_unique<SlowCopySource>(recording.Settings(), copies)), S_OK);
  {
    std::lock_guard<std::mutex> lock(copies->mutex);
    ASSERT_EQ(copies->began_ns.size(), 1u) << "no copy, or more than one, before the start";
  }
  recording.Start();
  EXPECT_TRUE(WaitForFrames(recording.Sink(), [](uint64_t n) { return n >= 3; }));
  recording.Finish();
  std::lock_guard<std::mutex> lock(copies->mutex);
  ASSERT_GE(copies->threads.size(), 4u);
  EXPECT_LT(copies->began_ns[0], recording.StartNs());
  for (size_t i = 1; i < copies->threads.size(); ++i) {
    EXPECT_EQ(copies->threads[i], copies->threads[0]) << "copy " << i << " was made on another thread";
  }
}

// Parts are cut by time at any frame rate: copies of 180 ms give about 5 frames a second, at which the encoder's
// 30-frame keyframe schedule alone would cut every 6 s. Each cut falls on the first frame past its 4 s boundary.
TEST(SWScreenRecordingSessionTest, PartsAreCutEveryFourSecondsAtALowFrameRate) {
  Recording recording("slow-capture", RECT{0, 0, 320, 240}, SIZE{320, 240});
  ASSERT_EQ(recording.Session().Initialize(std::make_unique<SlowCopySource>(
                recording.Settings(), std::make_shared<SlowCopySource::Copies>(), 180)),
            S_OK);
  recording.Start();
  WithinOrDie(milliseconds(40000), "two parts", [&recording] {
    while (recording.Parts().size() < 2) Sleep(100);
  });
  recording.Finish();
  std::vector<std::string> errors;
  const std::vector<Testing::PartCut> cuts = Testing::VideoPartCuts(recording.Parts(), &errors);
  EXPECT_TRUE(errors.empty()) << errors.front();
  ASSERT_GE(cuts.size(), 2u);
  for (size_t k = 0; k < cuts.size(); ++k) {
    const uint64_t boundary = (k + 1) * 4 * 90000;
    EXPECT_LE(cuts[k].before, boundary) << "part " << k << " went on past its boundary";
    EXPECT_GT(cuts[k].at, boundary) << "part " << k + 1 << " began before its boundary";
  }
}

}  // namespace
}  // namespace VellRecorder
