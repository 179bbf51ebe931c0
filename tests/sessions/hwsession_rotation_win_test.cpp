// A turned monitor away from the desktop origin, recorded on the GPU path. The duplication stand-in describes
// the output as turned and placed there and delivers its image unrotated, as DXGI does; the tests' own video
// processor turns pictures as Windows' does (Wine's cannot). Four colour blocks shown on that monitor must be
// found upright in the decoded recording, each where it shows on the desktop.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "desktop_duplication/turnedmonitor.h"
#include "duplicationstandin.h"
#include "media_transforms/media_foundation/videoprocessor.h"
#include "media_transforms/mftestsupport.h"
#include "muxers/hlssink.h"
#include "sessions/colourblocks.h"
#include "sessions/hwscreenrecordingsession.h"
#include "testing/watchdog.h"
#include "utils/clock.h"
#include "videoprocessor/standinvideoprocessor.h"

namespace VellRecorder {
namespace {

namespace fs = std::filesystem;

// 320 x 480, portrait, right of and below the origin of the 1920 x 1080 virtual screen.
constexpr RECT kMonitor{1400, 300, 1720, 780};

// The stand-in's outputs turned and placed for one recording.
class TurnedOutputs {
 public:
  TurnedOutputs(DXGI_MODE_ROTATION rotation, RECT desktop) { StandIn::TurnOutputs(rotation, desktop); }
  ~TurnedOutputs() { StandIn::TurnOutputs(DXGI_MODE_ROTATION_IDENTITY); }
};

class HWSessionRotationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(StandIn::InstallDuplication(), S_OK);
    StandIn::ClearFaults();
    SetCursorPos(10, 10);  // away from the blocks
  }

  // Records a few frames of `crop` (relative to the monitor) and decodes the last.
  static Testing::Picture Record(const std::string& name, int degrees, RECT crop, SIZE output) {
    const VideoRecordingSettings settings = Testing::TurnedMonitorSettings(kMonitor, degrees, crop, output);
    const fs::path folder = fs::temp_directory_path() / ("vell-rotation-" + name);
    fs::remove_all(folder);
    fs::create_directories(folder);
    {
      HLSSink sink(folder.wstring(), [](std::wstring) {});
      HWScreenRecordingSession session(settings, &sink);
      EXPECT_EQ(session.Initialize(), S_OK);
      session.Start(MonotonicNowNs());
      const ULONGLONG deadline = GetTickCount64() + 30000;
      while (sink.VideoFrameCount() < 6 && GetTickCount64() < deadline) Testing::PumpMessages(50);
      Testing::WithinOrDie(Testing::kHangLimit, "HWScreenRecordingSession::Stop", [&] { session.Stop(); });
      sink.Finish();
      EXPECT_GE(sink.VideoFrameCount(), 6u) << "too few frames recorded within 30 s";
    }
    const Testing::Picture picture = Testing::DecodeLastPicture(folder / "part-0.ts");
    fs::remove_all(folder);
    return picture;
  }
};

TEST_F(HWSessionRotationTest, ATurnedMonitorOffTheOriginIsRecordedUprightWithItsColoursInPlace) {
  const StandIns::ScopedVideoProcessorRegistration processor(MediaFoundation::CLSID_VideoProcessorMFT);
  ASSERT_EQ(processor.Result(), S_OK);
  Testing::BlocksWindow window(kMonitor);
  ASSERT_TRUE(window.IsShown()) << "the blocks are not on the screen";
  const struct {
    DXGI_MODE_ROTATION rotation;
    int degrees;
    RECT crop;  // relative to the monitor; empty: all of it
  } cases[] = {
      {DXGI_MODE_ROTATION_ROTATE90, 90, RECT{}},
      {DXGI_MODE_ROTATION_ROTATE180, 180, RECT{}},
      {DXGI_MODE_ROTATION_ROTATE270, 270, RECT{}},
      {DXGI_MODE_ROTATION_ROTATE90, 90, RECT{160, 0, 320, 480}},  // the right-hand blocks only
  };
  for (const auto& c : cases) {
    const bool cropped = c.crop.right > c.crop.left;
    const std::string name = std::to_string(c.degrees) + (cropped ? "-cropped" : "");
    SCOPED_TRACE(name);
    const TurnedOutputs turned(c.rotation, kMonitor);
    const RECT captured = cropped ? c.crop : RECT{0, 0, 320, 480};
    const SIZE output{captured.right - captured.left, captured.bottom - captured.top};
    const Testing::Picture picture = Record(name, c.degrees, c.crop, output);
    ASSERT_EQ(picture.width, output.cx);
    ASSERT_EQ(picture.height, output.cy);
    for (int i = 0; i < 4; ++i) {
      const POINT at = window.BlockCentre(i);
      const int x = at.x - kMonitor.left - captured.left, y = at.y - kMonitor.top - captured.top;
      if (x < 0 || x >= output.cx || y < 0 || y >= output.cy) continue;
      const Testing::Yuv got = picture.At(x, y);
      const Testing::Yuv want = Testing::ToYuv(Testing::kBlocks[i]);
      EXPECT_TRUE(Testing::Near(got, want, 10)) << "block " << i << " at " << x << "," << y << ": Y/U/V " << got.y
                                                << "/" << got.u << "/" << got.v << ", expected " << want.y << "/"
                                                << want.u << "/" << want.v;
    }
  }
}

}  // namespace
}  // namespace VellRecorder
