// The camera session in-process under Wine. Wine has no camera: the session's source opener is given Wine's
// source resolver over a raw-YUY2 AVI (VELL_CAMERA_CLIP), paced at the clip's frame rate like a camera.
// Everything after the source is the session's own topology: the colour converter and H.264 encoder stand-ins
// registered in the test prefix, Wine's media session and sample-grabber sink, a real HLSSink. The parts are read
// back here (times, keyframes) and left with a "recording.txt" in VELL_CAMERASESSION_DUMP_DIR for the decode
// check (check_hwsession_parts.sh: ffmpeg and GStreamer).
#include <windows.h>
#include <mfapi.h>
#include <mfidl.h>
#include <mferror.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "camerasource/camerasource.h"
#include "muxers/hlssink.h"
#include "muxers/ts_muxer.h"
#include "muxers/ts_reader.h"
#include "sessions/camerarecordingsession.h"
#include "testing/logcapture.h"
#include "testing/watchdog.h"
#include "utils/clock.h"
#include "utils/log.h"

namespace VellRecorder {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

// Stop waits up to kCloseTimeoutMs for the session to close, then shuts it down.
constexpr milliseconds kStopLimit{CameraRecordingSession::kCloseTimeoutMs + 5000};

fs::path DumpRoot() {
  if (const char* dir = std::getenv("VELL_CAMERASESSION_DUMP_DIR")) return fs::path(dir);
  return fs::temp_directory_path() / "vell-camerasession";
}
// The decode check reads every recording it finds: none may be left from an earlier run.
[[maybe_unused]] const bool kDumpRootCleared = (fs::remove_all(DumpRoot()), true);

void Sleep(int ms) { std::this_thread::sleep_for(milliseconds(ms)); }

std::wstring ClipPath() {
  const char* clip = std::getenv("VELL_CAMERA_CLIP");
  return clip ? std::wstring(clip, clip + std::strlen(clip)) : std::wstring();
}

// Whether an access unit holds an IDR slice (NAL type 5): start codes cannot occur inside a NAL unit.
bool HasIdrSlice(const std::vector<uint8_t>& au) {
  for (size_t i = 0; i + 3 < au.size(); ++i) {
    if (au[i] == 0 && au[i + 1] == 0 && au[i + 2] == 1 && (au[i + 3] & 0x1F) == 5) return true;
  }
  return false;
}

struct Frame {
  uint64_t pts;  // 90 kHz
  bool keyframe;
  bool starts_part;
};

class Recording {
 public:
  Recording(const std::string& name, uint32_t max_width, CameraSourceOpener opener)
      : folder_(DumpRoot() / name),
        sink_((fs::create_directories(folder_), folder_.wstring()), [this](std::wstring p) { OnPart(p); }),
        session_(L"Clip Camera", max_width, 0, &sink_, std::move(opener)) {}

  CameraRecordingSession& Session() { return session_; }
  uint64_t Frames() const { return sink_.VideoFrameCount(); }

  void Start() {
    start_ns_ = MonotonicNowNs();
    session_.Start(start_ns_);
  }
  int64_t StartNs() const { return start_ns_; }
  void Pause() { pause_ns_ = MonotonicNowNs(), session_.Pause(); }
  void Resume() { paused_ns_ += MonotonicNowNs() - pause_ns_, session_.Resume(); }
  // Counts, not times: the machine may be slow.
  void WaitForFrames(uint64_t frames) {
    Testing::WithinOrDie(milliseconds(60000), "waiting for frames", [&] {
      while (sink_.VideoFrameCount() < frames) Sleep(10);
    });
  }
  void Stop() {
    const int64_t stop_ns = MonotonicNowNs();
    Testing::WithinOrDie(kStopLimit, "Stop", [this] { session_.Stop(); });
    wall_ms_ = (MonotonicNowNs() - start_ns_) / 1000000;
    std::cout << folder_.filename().string() << ": Stop took " << (MonotonicNowNs() - stop_ns) / 1000000 << " ms, "
              << Frames() << " frames\n";
    sink_.Finish();
  }
  // For the decode check.
  void WriteSummary() {
    std::ofstream(folder_ / "recording.txt")
        << "width=" << session_.Width() << "\nheight=" << session_.Height() << "\nframes=" << Frames()
        << "\nparts=" << parts_.size() << "\nwall_ms=" << wall_ms_ << "\npaused_ms=" << paused_ns_ / 1000000 << "\n";
  }

  // Every video frame of every reported part, in order.
  std::vector<Frame> ReadFrames() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Frame> frames;
    for (const std::wstring& part : parts_) {
      std::vector<std::string> errors;
      const auto pes = Testing::ReadPes(fs::path(part), TsMuxer::kVideoPid, &errors);
      for (const std::string& error : errors) ADD_FAILURE() << error;
      for (size_t i = 0; i < pes.size(); ++i) {
        frames.push_back({pes[i].pts, HasIdrSlice(pes[i].data), i == 0});
      }
    }
    return frames;
  }

 private:
  void OnPart(const std::wstring& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    parts_.push_back(path);
  }

  std::mutex mutex_;
  std::vector<std::wstring> parts_;  // guarded by mutex_
  fs::path folder_;
  HLSSink sink_;
  CameraRecordingSession session_;
  int64_t start_ns_ = 0;
  int64_t pause_ns_ = 0;
  int64_t paused_ns_ = 0;
  int64_t wall_ms_ = 0;
};

void RecordClip(const char* name);

class CameraRecordingSessionTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // A crash on one of Media Foundation's threads would otherwise wait for a debugger until CTest's time-out.
    SetUnhandledExceptionFilter([](EXCEPTION_POINTERS* info) -> LONG {
      std::fprintf(stderr, "crashed: exception 0x%08lx; ending the test program\n",
                   static_cast<unsigned long>(info->ExceptionRecord->ExceptionCode));
      std::fflush(stderr);
      std::_Exit(3);
    });
    Log::Init(std::getenv("VELL_TEST_DEBUG") ? Log::Severity::kDebug : Log::Severity::kWarning, &std::cerr);
    ASSERT_EQ(MFStartup(MF_VERSION), S_OK);
  }
  void SetUp() override { ASSERT_FALSE(ClipPath().empty()) << "VELL_CAMERA_CLIP is not set"; }
};

// The clip's one format is chosen; frames reach the sink with increasing times, parts start at keyframes, a
// pause is cut out of the time line (the first frame after it is a keyframe), nothing is written while paused
// or after Stop.
TEST_F(CameraRecordingSessionTest, RecordsThroughTheTopologyWithPauseAndStop) {
  for (const bool sync : {false, true}) {
    SCOPED_TRACE(sync ? "synchronous encoder" : "asynchronous encoder");
    // The synchronous stand-in is chosen when the asynchronous one cannot be configured.
    SetEnvironmentVariableW(L"VELL_H264_STANDIN_FAIL", sync ? L"async" : nullptr);
    RecordClip(sync ? "clip-sync" : "clip-async");
    SetEnvironmentVariableW(L"VELL_H264_STANDIN_FAIL", nullptr);
  }
}

void RecordClip(const char* name) {
  Testing::LogCapture log;
  Recording recording(name, 1920,
                      [](const std::wstring&, IMFMediaSource** s) { return StandIns::OpenClipCamera(ClipPath(), s); });
  ASSERT_EQ(recording.Session().Initialize(), S_OK);
  EXPECT_TRUE(log.Contains(std::string("camera encoder: Vell Stand-in H.264 Encoder (") +
                           (std::strcmp(name, "clip-sync") == 0 ? "synchronous" : "asynchronous")))
      << log.Text();
  EXPECT_EQ(recording.Session().Width(), 320u);
  EXPECT_EQ(recording.Session().Height(), 240u);
  recording.Start();
  recording.WaitForFrames(75);
  // The clip camera keeps its frame rate (30 per second) as a camera does, whatever the sink asks: a slow machine
  // can only make it later.
  EXPECT_GE(MonotonicNowNs() - recording.StartNs(), 74 * 1'000'000'000LL / 30 * 9 / 10)
      << "the camera delivered faster than its frame rate";
  recording.Pause();
  const uint64_t at_pause = recording.Frames();
  Sleep(2500);
  EXPECT_EQ(recording.Frames(), at_pause) << "frames were written while paused";
  recording.Resume();
  // Past the first 4-second boundary.
  recording.WaitForFrames(at_pause + 120);
  recording.Stop();
  recording.WriteSummary();
  const uint64_t at_stop = recording.Frames();
  Sleep(500);
  EXPECT_EQ(recording.Frames(), at_stop) << "a frame was written after Stop";

  const std::vector<Frame> frames = recording.ReadFrames();
  ASSERT_EQ(frames.size(), at_stop);
  EXPECT_TRUE(frames[0].keyframe);
  EXPECT_TRUE(frames[at_pause].keyframe) << "the first frame after the pause references dropped frames";
  int cuts = 0;
  for (size_t i = 1; i < frames.size(); ++i) {
    ASSERT_GT(frames[i].pts, frames[i - 1].pts) << "frame " << i;
    // Far below the pause, far above a frame interval on a loaded machine.
    EXPECT_LT(frames[i].pts - frames[i - 1].pts, 90000u) << "a gap before frame " << i;
    if (!frames[i].starts_part) continue;
    ++cuts;
    EXPECT_TRUE(frames[i].keyframe) << "part cut at frame " << i;
    // The keyframe is asked for as the frames leave the encoder, so it comes a few frames after the boundary
    // (the clip is read ahead of the clock); the encoder's own keyframes would come up to 2 s after it.
    EXPECT_LT(frames[i].pts, cuts * 4 * 90000u + 45000) << "part " << cuts << " began late";
  }
  EXPECT_GE(cuts, 1) << "no part was cut";
}

// Whatever state the session is in, Stop and destruction end it promptly and leave nothing running: never
// started, started and destroyed without Stop, started on a source that is already shut down (the media
// session cannot start), and a session whose Initialize failed (nothing to touch).
TEST_F(CameraRecordingSessionTest, StopAndDestructionNeverHang) {
  const struct {
    const char* name;
    bool start;
    bool stop;
    bool shut_source_down;
  } cases[] = {{"never-started", false, true, false},
               {"never-stopped", true, false, false},
               {"start-failed", true, true, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ComPtr<IMFMediaSource> source;
    auto recording = std::make_unique<Recording>(
        c.name, 1920, [&source](const std::wstring&, IMFMediaSource** s) {
          const HRESULT hr = StandIns::OpenClipCamera(ClipPath(), s);
          if (SUCCEEDED(hr)) source = ComPtr<IMFMediaSource>(*s);
          return hr;
        });
    ASSERT_EQ(recording->Session().Initialize(), S_OK);
    ComPtr<IMFMediaEventGenerator> events;
    EXPECT_EQ(source.As(&events), S_OK) << "the camera does not answer for its events";
    if (c.shut_source_down) source->Shutdown();
    if (c.start) recording->Start();
    if (c.start && !c.shut_source_down) recording->WaitForFrames(5);
    if (c.shut_source_down) Sleep(500);
    if (c.stop) recording->Stop();
    Testing::WithinOrDie(kStopLimit, "destruction", [&] { recording.reset(); });
  }

  Testing::LogCapture log;
  Recording failed("failed", 1920, [](const std::wstring&, IMFMediaSource**) { return E_FAIL; });
  EXPECT_EQ(failed.Session().Initialize(), E_FAIL);
  Testing::WithinOrDie(kStopLimit, "a failed session", [&] {
    failed.Start();
    failed.Pause();
    failed.Resume();
    failed.Stop();
  });
  EXPECT_EQ(failed.Frames(), 0u);
  EXPECT_FALSE(log.Contains("resumed encoding")) << log.Text();
}

// A clip camera that can be unplugged: it fails as a lost device source does (an error event, then shut down),
// and no camera of the name is found until it is plugged in again.
class UnpluggableCamera {
 public:
  CameraSourceOpener Opener() {
    return [this](const std::wstring&, IMFMediaSource** source) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (unplugged_) {
        ++looked_for_;
        return kNoSuchCamera;
      }
      const HRESULT hr = StandIns::OpenClipCamera(ClipPath(), source);
      if (SUCCEEDED(hr)) source_ = ComPtr<IMFMediaSource>(*source);
      return hr;
    };
  }
  void Unplug() {
    std::lock_guard<std::mutex> lock(mutex_);
    unplugged_ = true;
    looked_for_ = 0;
    source_->QueueEvent(MEError, GUID_NULL, MF_E_VIDEO_RECORDING_DEVICE_INVALIDATED, nullptr);
    source_->Shutdown();
  }
  void PlugIn() {
    std::lock_guard<std::mutex> lock(mutex_);
    unplugged_ = false;
  }
  // Once the session looked for it again: it saw the loss.
  void WaitUntilLookedFor() {
    Testing::WithinOrDie(milliseconds(30000), "waiting for the camera to be looked for", [this] {
      for (;;) {
        {
          std::lock_guard<std::mutex> lock(mutex_);
          if (looked_for_ > 0) return;
        }
        Sleep(20);
      }
    });
  }

 private:
  std::mutex mutex_;
  bool unplugged_ = false;
  int looked_for_ = 0;
  ComPtr<IMFMediaSource> source_;
};

// A camera lost while recording is looked for again and recorded on the same time line when it is back, its
// first frame a keyframe; the time without its video is counted, the loss logged once. Lost again for good, the
// session still stops promptly.
TEST_F(CameraRecordingSessionTest, ALostCameraIsRecordedAgainWhenItIsBack) {
  Testing::LogCapture log;
  UnpluggableCamera camera;
  Recording recording("lost", 1920, camera.Opener());
  ASSERT_EQ(recording.Session().Initialize(), S_OK);
  recording.Start();
  recording.WaitForFrames(30);
  camera.Unplug();
  camera.WaitUntilLookedFor();
  Sleep(1000);
  const uint64_t at_return = recording.Frames();
  camera.PlugIn();
  recording.WaitForFrames(at_return + 30);
  camera.Unplug();
  camera.WaitUntilLookedFor();
  recording.Stop();

  const std::vector<Frame> frames = recording.ReadFrames();
  ASSERT_GT(frames.size(), at_return);
  EXPECT_TRUE(frames[at_return].keyframe) << "the first frame of the camera back";
  for (size_t i = 1; i < frames.size(); ++i) ASSERT_GT(frames[i].pts, frames[i - 1].pts) << "frame " << i;
  const uint64_t gap_ms = (frames[at_return].pts - frames[at_return - 1].pts) / 90;
  EXPECT_GE(gap_ms, 1000u) << "the camera's return is not at its time";
  // Both losses: the one it came back from, and the one up to the stop.
  EXPECT_GT(recording.Session().VideoLostMs(), static_cast<int64_t>(gap_ms));
  const std::string text = log.Text();
  size_t losses = 0;
  for (size_t at = 0; (at = text.find("stopped delivering video", at)) != std::string::npos; ++at) ++losses;
  EXPECT_EQ(losses, 2u) << text;
  EXPECT_TRUE(log.Contains("camera \"Clip Camera\" is back after")) << text;
  EXPECT_FALSE(log.Contains("no cameras named")) << "looking for it is not an error each time";
}

// The camera's formats as Media Foundation lists them: the widest YUY2 or MJPEG no wider than the limit and the
// fastest of that size (a format without a rate counts as 0, and is still recorded) is set as the stream's
// current type; an NV12-only camera is refused naming the subtype; an MJPEG camera needs a decoder, and Wine has
// none.
TEST_F(CameraRecordingSessionTest, TheCameraFormatIsChosenFromTheListedTypes) {
  const GUID nv12 = MFVideoFormat_NV12;
  const GUID yuy2 = MFVideoFormat_YUY2;
  const struct {
    const char* name;
    std::vector<StandIns::CameraFormatEntry> formats;
    uint32_t max_width;
    HRESULT result;
    const char* log;
    SIZE size;
    UINT32 rate;
  } cases[] = {
      {"yuy2", {{yuy2, 640, 480, 30, 1}, {yuy2, 320, 240, 0, 0}, {yuy2, 320, 240, 15, 1}, {nv12, 320, 240, 60, 1}},
       320, S_OK, nullptr, {320, 240}, 15},
      {"no rate stated", {{yuy2, 320, 240, 0, 0}}, 1920, S_OK, nullptr, {320, 240}, 0},
      {"nv12 only", {{nv12, 640, 480, 30, 1}}, 1920, E_FAIL,
       "unsupport subtype {3231564E-0000-0010-8000-00AA00389B71}", {}, 0},
      {"mjpeg", {{MFVideoFormat_MJPG, 1280, 720, 30, 1}}, 1920, E_FAIL, "No decoder found", {1280, 720}, 30},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Testing::LogCapture log;
    ComPtr<IMFMediaTypeHandler> handler;
    HLSSink sink((DumpRoot() / "formats").wstring(), [](std::wstring) {});
    CameraRecordingSession session(L"Formats", c.max_width, 0, &sink,
                                   [&](const std::wstring&, IMFMediaSource** source) {
                                     return StandIns::CreateFormatsCamera(c.formats, &handler, source);
                                   });
    EXPECT_EQ(session.Initialize(), c.result);
    if (c.log) {
      EXPECT_TRUE(log.Contains(c.log)) << log.Text();
    }
    if (c.size.cx == 0) continue;
    EXPECT_EQ(session.Width(), static_cast<uint32_t>(c.size.cx));
    EXPECT_EQ(session.Height(), static_cast<uint32_t>(c.size.cy));
    ComPtr<IMFMediaType> current;
    ASSERT_EQ(handler->GetCurrentMediaType(current.ReleaseAndGetAddressOf()), S_OK);
    if (c.rate == 0) continue;
    UINT32 numerator = 0, denominator = 0;
    ASSERT_EQ(MFGetAttributeRatio(current.Get(), MF_MT_FRAME_RATE, &numerator, &denominator), S_OK);
    EXPECT_EQ(numerator, c.rate);
  }
}

// The daemon's own opener asks Media Foundation for the named video capture device; Wine lists none, so the
// name is not found (and nothing is activated).
TEST_F(CameraRecordingSessionTest, AnUnknownCameraIsNamedInTheLog) {
  Testing::LogCapture log;
  HLSSink sink((DumpRoot() / "unknown").wstring(), [](std::wstring) {});
  CameraRecordingSession session(L"Kamera Zürich", 1920, 1080, &sink);
  EXPECT_EQ(session.Initialize(), E_FAIL);
  EXPECT_TRUE(log.Contains("no cameras named Kamera Zürich were found")) << log.Text();
}

}  // namespace
}  // namespace VellRecorder
