// The hardware screen session in-process under Wine: the duplication stand-in over the real Wine desktop, the
// H.264 encoder stand-in registered in the test prefix (asynchronous, or synchronous when the asynchronous one
// is told to fail), Wine's video processor at the capture size or the tests' own one when scaling, and a real
// HLSSink. The parts are read back here (times, keyframes) and left with a "recording.txt" in
// VELL_HWSESSION_DUMP_DIR for the decode check (check_hwsession_parts.sh: ffmpeg and GStreamer).
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "duplicationstandin.h"
#include "media_transforms/media_foundation/videoprocessor.h"
#include "media_transforms/mftestsupport.h"
#include "muxers/hlssink.h"
#include "muxers/ts_muxer.h"
#include "muxers/ts_reader.h"
#include "sessions/hwscreenrecordingsession.h"
#include "sessions/sessionrecording.h"
#include "testing/logcapture.h"
#include "testing/scopedvariable.h"
#include "testing/watchdog.h"
#include "utils/clock.h"
#include "utils/log.h"
#include "videoprocessor/standinvideoprocessor.h"

namespace VellRecorder {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

fs::path DumpRoot() { return Testing::DumpRoot("VELL_HWSESSION_DUMP_DIR", "vell-hwsession"); }
// The decode check reads every recording it finds: none may be left from an earlier run.
[[maybe_unused]] const bool kDumpRootCleared = (fs::remove_all(DumpRoot()), true);

void Sleep(int ms) { std::this_thread::sleep_for(milliseconds(ms)); }

constexpr SIZE kScreen{1920, 1080};
constexpr uint64_t kPartPts = HLSSink::kTargetPartDurationUs * 9 / 100;  // 90 kHz

struct Frame {
  uint64_t pts;  // 90 kHz
  bool keyframe;
  bool starts_part;
  bool parameter_sets;  // an SPS at its head
};

// Whether an access unit holds an IDR slice (NAL type 5): start codes cannot occur inside a NAL unit.
bool HasIdrSlice(const std::vector<uint8_t>& au) {
  for (size_t i = 0; i + 3 < au.size(); ++i) {
    if (au[i] == 0 && au[i + 1] == 0 && au[i + 2] == 1 && (au[i + 3] & 0x1F) == 5) return true;
  }
  return false;
}

using EndReason = HWScreenRecordingSession::EndReason;

// One recording into a folder of its own under DumpRoot(); `images` counts the desktop images the duplication
// delivered.
class Recording : public Testing::SessionRecording<HWScreenRecordingSession> {
 public:
  Recording(const std::string& name, SIZE output) : SessionRecording(DumpRoot() / name, RECT{}, output) {
    Session().SetEndedCallback([this](EndReason reason) { ended_ = static_cast<int>(reason); });
  }

  long Images() const { return StandIn::GetCounts().images - images_at_start_; }

  void Start() {
    images_at_start_ = StandIn::GetCounts().images;
    SessionRecording::Start();
  }
  // Waits until the sink has `frames` video frames; a recording that does not get there in a minute fails.
  // Returns the milliseconds since Start. Counts, not times: the machine may be slow.
  int64_t WaitForFrames(uint64_t frames) {
    Testing::WithinOrDie(milliseconds(60000), "waiting for frames", [&] {
      while (Sink().VideoFrameCount() < frames) Sleep(10);
    });
    return (MonotonicNowNs() - StartNs()) / 1000000;
  }
  // The reason the thread gave when it ended on its own; a thread that does not end in a minute fails.
  EndReason WaitForEnd() {
    Testing::WithinOrDie(milliseconds(60000), "waiting for the thread to end", [&] {
      while (ended_ < 0) Sleep(10);
    });
    return static_cast<EndReason>(ended_.load());
  }
  bool Ended() const { return ended_ >= 0; }
  // The GPU session's waits are all bounded: its Stop returns within 5 s.
  void Stop(bool decode_check = true) { Finish(decode_check, milliseconds(5000)); }

  size_t PartCount() { return Parts().size(); }

  // Every video frame of every reported part, in order.
  std::vector<Frame> Frames() {
    std::vector<Frame> frames;
    for (const std::wstring& part : Parts()) {
      std::vector<std::string> errors;
      const auto pes = Testing::ReadPes(fs::path(part), TsMuxer::kVideoPid, &errors);
      for (const std::string& error : errors) ADD_FAILURE() << error;
      for (size_t i = 0; i < pes.size(); ++i) frames.push_back({pes[i].pts, HasIdrSlice(pes[i].data), i == 0,
                        HLSSink::IsKeyframe(pes[i].data.data(), static_cast<uint32_t>(pes[i].data.size()))});
    }
    return frames;
  }

 private:
  std::atomic<int> ended_{-1};  // an EndReason, set on the capture thread
  long images_at_start_ = 0;
};

// The synchronous stand-in is chosen when the asynchronous one cannot be configured.
class EncoderChoice {
 public:
  explicit EncoderChoice(bool sync) { SetEnvironmentVariableW(L"VELL_H264_STANDIN_FAIL", sync ? L"async" : nullptr); }
  ~EncoderChoice() { SetEnvironmentVariableW(L"VELL_H264_STANDIN_FAIL", nullptr); }
};

using Testing::ScopedVariable;

// The tests' own processor (which can scale and be told to misbehave) while alive, when the output is scaled.
std::unique_ptr<StandIns::ScopedVideoProcessorRegistration> ProcessorFor(SIZE output) {
  if (output.cx == kScreen.cx && output.cy == kScreen.cy) return nullptr;
  return std::make_unique<StandIns::ScopedVideoProcessorRegistration>(MediaFoundation::CLSID_VideoProcessorMFT);
}

class HWScreenRecordingSessionTest : public ::testing::Test {
 protected:
  // Warnings and errors go with the test's output: a failing case shows why.
  static void SetUpTestSuite() { Log::Init(Log::Severity::kWarning, &std::cerr); }
  void SetUp() override {
    ASSERT_EQ(StandIn::InstallDuplication(), S_OK);
    StandIn::ClearFaults();
  }
  void TearDown() override { StandIn::ClearFaults(); }
};

// Times in order, parts that start at keyframes, the first frame's time from Start and its 333,330 duration
// (the second frame follows by exactly that), and not one captured frame lost between the stages. The scaling
// processor hands out pooled samples, down to a pool of one: a stage that keeps a processed frame (or its
// buffer) once the encoder took it starves the processor.
TEST_F(HWScreenRecordingSessionTest, EveryCapturedFrameReachesTheSinkWithItsTime) {
  const struct {
    const char* name;
    bool sync;
    SIZE output;
    const wchar_t* processor_strictness;
  } cases[] = {{"async", false, kScreen, nullptr},
               {"sync", true, kScreen, nullptr},
               {"async-scaled-720p", false, {1280, 720}, nullptr},
               {"async-scaled-720p-pool-of-1", false, {1280, 720}, L"pool=1"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EncoderChoice choice(c.sync);
    ScopedVariable pool(L"VELL_VIDEOPROCESSOR_STRICT", c.processor_strictness);
    std::unique_ptr<StandIns::ScopedVideoProcessorRegistration> processor;
    if (c.output.cx != kScreen.cx) {  // Wine's processor converts at the same size only
      processor = std::make_unique<StandIns::ScopedVideoProcessorRegistration>(
          MediaFoundation::CLSID_VideoProcessorMFT);
    }
    Recording recording(c.name, c.output);
    ASSERT_EQ(recording.Session().Initialize(), S_OK);
    recording.Start();
    const int64_t first_muxed_ms = recording.WaitForFrames(1);
    recording.WaitForFrames(20);
    recording.Stop();
    const std::vector<Frame> frames = recording.Frames();
    ASSERT_GE(frames.size(), 20u);
    EXPECT_EQ(recording.Sink().VideoFrameCount(), static_cast<uint64_t>(recording.Images()));
    EXPECT_EQ(frames.size(), recording.Sink().VideoFrameCount());
    EXPECT_GT(frames[0].pts, 0u);
    EXPECT_LE(frames[0].pts, static_cast<uint64_t>(first_muxed_ms * 90)) << "stamped later than it was muxed";
    EXPECT_NEAR(static_cast<double>(frames[1].pts - frames[0].pts), 333330 * 9 / 1000.0, 1.0);
    for (size_t i = 1; i < frames.size(); ++i) ASSERT_GT(frames[i].pts, frames[i - 1].pts) << "frame " << i;
    for (const Frame& frame : frames) EXPECT_TRUE(!frame.starts_part || frame.keyframe);
  }
}

// Parts are cut by time at any frame rate: acquisitions of 180 ms give about 5 frames a second, at which the
// encoder's 60-frame group of pictures would cut every 12 s. Each cut falls on the first frame past its boundary,
// and each part starts with the parameter sets, also from an encoder that keeps them out of band.
TEST_F(HWScreenRecordingSessionTest, PartsAreCutEveryFourSecondsAtALowFrameRate) {
  for (const char* strictness : {"", "sps-out-of-band"}) {
    SCOPED_TRACE(strictness);
    const std::wstring wide(strictness, strictness + std::char_traits<char>::length(strictness));
    ScopedVariable variable(L"VELL_H264_STANDIN_STRICT", *strictness ? wide.c_str() : nullptr);
    StandIn::SlowAcquisitions(180);
    Recording recording(std::string("slow-capture") + (*strictness ? "-sps-out-of-band" : ""), kScreen);
    ASSERT_EQ(recording.Session().Initialize(), S_OK);
    recording.Start();
    Testing::WithinOrDie(milliseconds(40000), "two parts", [&recording] {
      while (recording.PartCount() < 2) Sleep(100);
    });
    recording.Stop();
    const std::vector<Frame> frames = recording.Frames();
    uint64_t boundary = 0;
    for (size_t i = 0; i < frames.size(); ++i) {
      if (!frames[i].starts_part) continue;
      EXPECT_TRUE(frames[i].parameter_sets) << "a part without its parameter sets at frame " << i;
      if (i == 0) continue;
      boundary += kPartPts;
      EXPECT_LE(frames[i - 1].pts, boundary) << "a part went on past its boundary";
      EXPECT_GT(frames[i].pts, boundary) << "a part began before its boundary";
    }
    EXPECT_GE(boundary, 2 * kPartPts);
  }
}

// Wine's own processor converts at the capture size only: a session that could not scale a single frame is
// refused at Initialize, so that the software session records instead.
TEST_F(HWScreenRecordingSessionTest, InitializeFailsWhenTheProcessorCannotMakeTheOutputSize) {
  Recording recording("unscalable", SIZE{1280, 720});
  EXPECT_TRUE(FAILED(recording.Session().Initialize()));
}

// Ten seconds paused leave no gap; Stop while paused returns and still muxes what the encoder held.
TEST_F(HWScreenRecordingSessionTest, APauseLeavesNoGapAndStopWhilePausedReturns) {
  Recording recording("paused", kScreen);
  ASSERT_EQ(recording.Session().Initialize(), S_OK);
  recording.Start();
  recording.WaitForFrames(8);
  recording.Pause();
  // The loop under way when Pause came delivers its one output; then nothing until Resume.
  const uint64_t at_pause = recording.Sink().VideoFrameCount();
  Sleep(10000);
  const uint64_t after_pause = recording.Sink().VideoFrameCount();
  EXPECT_LE(after_pause, at_pause + 1) << "frames were delivered while paused";
  recording.Resume();
  recording.WaitForFrames(after_pause + 8);
  recording.Pause();
  Sleep(300);
  recording.Stop();
  const std::vector<Frame> frames = recording.Frames();
  EXPECT_EQ(recording.Sink().VideoFrameCount(), static_cast<uint64_t>(recording.Images()));
  for (size_t i = 1; i < frames.size(); ++i) {
    ASSERT_GT(frames[i].pts, frames[i - 1].pts);
    // Far below the pause, far above a frame interval on a loaded machine.
    EXPECT_LT(frames[i].pts - frames[i - 1].pts, 3u * 90000) << "the pause left a gap at frame " << i;
  }
}

// A lost duplication that is refused a few times (secure desktop: E_ACCESSDENIED, retried at once; another
// failure: retried at the next loop, with frames of the last image meanwhile). Recording goes on, the rebuilt
// encoder starts with a keyframe, the old one's last output is not lost, and no duplication is left over.
TEST_F(HWScreenRecordingSessionTest, ALostDuplicationIsRecreatedAndTheNewEncoderStartsWithAKeyframe) {
  constexpr int kImagesBeforeLoss = 12;  // within the first 60-frame GOP
  const struct {
    const char* name;
    HRESULT refusal;
    int refusals;
    long frames_without_image;  // captures that produced a frame of the last image
  } cases[] = {{"secure-desktop", E_ACCESSDENIED, 5, 1}, {"unavailable", DXGI_ERROR_UNSUPPORTED, 3, 4}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Recording recording(std::string("lost-") + c.name, kScreen);
    ASSERT_EQ(recording.Session().Initialize(), S_OK);
    const long calls_before = StandIn::GetCounts().duplicate_calls;
    StandIn::LoseAccessAfter(kImagesBeforeLoss, c.refusals, c.refusal);
    recording.Start();
    const size_t first_of_new_encoder = static_cast<size_t>(kImagesBeforeLoss + c.frames_without_image - 1);
    recording.WaitForFrames(first_of_new_encoder + 10);
    EXPECT_EQ(StandIn::GetCounts().live_duplications, 1);
    recording.Stop();
    EXPECT_EQ(StandIn::GetCounts().duplicate_calls - calls_before, c.refusals + 1);
    EXPECT_EQ(recording.Sink().VideoFrameCount(), static_cast<uint64_t>(recording.Images() + c.frames_without_image));
    const std::vector<Frame> frames = recording.Frames();
    ASSERT_GT(frames.size(), first_of_new_encoder + 10) << "recording did not go on after the loss";
    EXPECT_TRUE(frames[first_of_new_encoder].keyframe);
    // Before it, only the keyframe asked for at the first frame past a part boundary (a slow machine gets there).
    for (size_t i = 1; i < first_of_new_encoder; ++i) {
      const bool past_boundary = (frames[i].pts - 1) / kPartPts != (frames[i - 1].pts - 1) / kPartPts;
      EXPECT_FALSE(frames[i].keyframe && !past_boundary) << "frame " << i;
    }
    for (size_t i = 1; i < frames.size(); ++i) ASSERT_GT(frames[i].pts, frames[i - 1].pts);
  }
  EXPECT_EQ(StandIn::GetCounts().live_duplications, 0);
}

// No encoder can be rebuilt after the loss: the thread ends with an error record instead of leaving the recording
// silently frozen, having muxed what the old encoder held; Stop still returns.
TEST_F(HWScreenRecordingSessionTest, AThreadEndedByAFailureLeavesAnErrorRecord) {
  constexpr int kImagesBeforeLoss = 5;
  Recording recording("encoder-lost", kScreen);
  ASSERT_EQ(recording.Session().Initialize(), S_OK);
  Testing::LogCapture log;
  const long calls_before = StandIn::GetCounts().duplicate_calls;
  StandIn::LoseAccessAfter(kImagesBeforeLoss, 0);
  SetEnvironmentVariableW(L"VELL_H264_STANDIN_FAIL", L"async,sync");
  recording.Start();
  Testing::WithinOrDie(milliseconds(60000), "waiting for the loss", [&] {
    while (StandIn::GetCounts().duplicate_calls == calls_before) Sleep(10);
  });
  recording.Stop();
  SetEnvironmentVariableW(L"VELL_H264_STANDIN_FAIL", nullptr);
  EXPECT_TRUE(log.Contains("Failed to capture: ")) << log.Text();
  EXPECT_TRUE(log.Contains("screen capture ended"));
  EXPECT_EQ(recording.Sink().VideoFrameCount(), static_cast<uint64_t>(kImagesBeforeLoss));
}

// The processor changes its stream once: the output type the session chose (the encoder's size, not the size the
// processor offers) is set again and the frame that met the change comes out; recording goes on and not one
// captured frame is lost (the decode check reads every part at the output size).
TEST_F(HWScreenRecordingSessionTest, AStreamChangeInTheProcessorIsRenegotiatedAndRecordingGoesOn) {
  const SIZE output{1280, 720};
  const auto processor = ProcessorFor(output);
  ScopedVariable faults(L"VELL_VIDEOPROCESSOR_FAULTS", L"stream-change-after=10");
  Recording recording("stream-change", output);
  ASSERT_EQ(recording.Session().Initialize(), S_OK);
  recording.Start();
  recording.WaitForFrames(25);
  recording.Stop();
  EXPECT_FALSE(recording.Ended());
  EXPECT_EQ(recording.Sink().VideoFrameCount(), static_cast<uint64_t>(recording.Images()));
}

// Transforms that stop answering: a processor that keeps every input, an asynchronous encoder that falls silent
// (a removed GPU). The thread ends on its own naming the stage, after a bounded wait; Stop returns, also when it
// comes while the transform is silent.
TEST_F(HWScreenRecordingSessionTest, TransformsThatStopAnsweringEndTheThreadAndNeverHoldStop) {
  const struct {
    const char* name;
    const wchar_t* variable;
    const wchar_t* value;
    SIZE output;
    EndReason reason;
    long stop_after_images;  // 0: wait for the thread to end first; else Stop once the transform is silent
  } cases[] = {
      {"processor-keeps-inputs", L"VELL_VIDEOPROCESSOR_FAULTS", L"keep-inputs", {1280, 720},
       EndReason::kProcessorFailed, 0},
      {"processor-keeps-inputs-stop", L"VELL_VIDEOPROCESSOR_FAULTS", L"keep-inputs", {1280, 720},
       EndReason::kProcessorFailed, 12},
      // Silent after its 8th input: the 9th image waits for an event that never comes.
      {"encoder-silent", L"VELL_H264_STANDIN_SILENT_AFTER", L"8", kScreen, EndReason::kEncoderFailed, 0},
      {"encoder-silent-stop", L"VELL_H264_STANDIN_SILENT_AFTER", L"8", kScreen, EndReason::kEncoderFailed, 9},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto processor = ProcessorFor(c.output);
    ScopedVariable fault(c.variable, c.value);
    Recording recording(c.name, c.output);
    ASSERT_EQ(recording.Session().Initialize(), S_OK);
    recording.Start();
    if (c.stop_after_images > 0) {
      Testing::WithinOrDie(milliseconds(60000), "images", [&] {
        while (recording.Images() < c.stop_after_images) Sleep(10);
      });
    } else {
      EXPECT_EQ(recording.WaitForEnd(), c.reason);
    }
    recording.Stop(false);
    EXPECT_LE(recording.Sink().VideoFrameCount(), 8u);
  }
}

// Desktop duplication lost for good (every re-creation refused): after a bounded number of attempts the thread ends
// naming the loss, so that the recording can go on otherwise, having muxed what the encoder held; the refusals
// are not logged one by one.
TEST_F(HWScreenRecordingSessionTest, ADuplicationLostForGoodEndsTheThreadWithoutAFloodOfRecords) {
  constexpr int kImagesBeforeLoss = 20;
  Recording recording("lost-for-good", kScreen);
  ASSERT_EQ(recording.Session().Initialize(), S_OK);
  Testing::LogCapture log;
  StandIn::LoseAccessAfter(kImagesBeforeLoss, 100000);
  recording.Start();
  EXPECT_EQ(recording.WaitForEnd(), EndReason::kDuplicationLost);
  recording.Stop(false);
  EXPECT_EQ(recording.Sink().VideoFrameCount(), static_cast<uint64_t>(kImagesBeforeLoss));
  const std::string text = log.Text();
  EXPECT_LT(std::count(text.begin(), text.end(), '\n'), 40) << text.substr(0, 3000);
  EXPECT_TRUE(log.Contains("GPU screen capture ended: duplication_lost"));
}

}  // namespace
}  // namespace VellRecorder
