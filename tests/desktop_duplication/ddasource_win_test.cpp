#include <windows.h>

#include <gtest/gtest.h>

#include <libyuv.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <memory>
#include <vector>

#include "desktop_duplication/texturereadback.h"
#include "desktop_duplication/turnedmonitor.h"
#include "duplicationstandin.h"
#include "media_sources/video/ddasource.h"
#include "testing/logcapture.h"
#include "testing/patternonscreen.h"
#include "testing/watchdog.h"

namespace VellRecorder {
namespace {

// The source captures at the capture size whatever the output size; the settings only need one the encoders take.
SIZE OutputSize(RECT crop) {
  if (crop.right > crop.left && crop.bottom > crop.top) return SIZE{crop.right - crop.left, crop.bottom - crop.top};
  return SIZE{GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
}

using Testing::PatternColor;
using Testing::PumpMessages;
using Testing::RgbAt;

// A frame and a source over the stand-in duplication of the real Wine desktop, on which a window of the
// suite's own shows a known picture.
class DDASourceTest : public Testing::PatternOnScreenTest {
 protected:
  void SetUp() override {
    PatternOnScreenTest::SetUp();
    ASSERT_EQ(StandIn::InstallDuplication(), S_OK);
    StandIn::ClearFaults();
  }
  void TearDown() override {
    StandIn::ClearFaults();
    StandIn::TurnOutputs(DXGI_MODE_ROTATION_IDENTITY);
  }

  // The crop is relative to the display, whose corner is the desktop origin here.
  std::unique_ptr<DDASource> MakeSource(RECT crop) {
    settings_ = std::make_unique<VideoRecordingSettings>(L"", crop, OutputSize(crop));
    return OpenSource();
  }

  // A frame and a source for settings_.
  std::unique_ptr<DDASource> OpenSource() {
    frame_ = std::make_unique<D3D11Frame>();
    EXPECT_EQ(frame_->Initialize(settings_->DisplayName(), settings_->CaptureSize()), S_OK);
    auto source = std::make_unique<DDASource>(*settings_);
    EXPECT_EQ(source->Initialize(frame_.get()), S_OK);
    return source;
  }

  std::vector<uint8_t> FramePixels() { return Testing::ReadTexture(frame_->GetDevice(), frame_->GetTexture()); }

  // A source recording all of the stand-in's output turned by `rotation` and laid out at `monitor`.
  std::unique_ptr<DDASource> MakeTurnedSource(DXGI_MODE_ROTATION rotation, int degrees, RECT monitor) {
    StandIn::TurnOutputs(rotation, monitor);
    const SIZE size{monitor.right - monitor.left, monitor.bottom - monitor.top};
    settings_ =
        std::make_unique<VideoRecordingSettings>(Testing::TurnedMonitorSettings(monitor, degrees, RECT{}, size));
    return OpenSource();
  }

  // The frame turned clockwise by `degrees` with libyuv, as the video processor turns it upright.
  std::vector<uint8_t> UprightPixels(int degrees, int* width) {
    const std::vector<uint8_t> frame = FramePixels();
    const int w = static_cast<int>(frame_->GetTextureDesc().Width);
    const int h = static_cast<int>(frame_->GetTextureDesc().Height);
    *width = degrees == 90 || degrees == 270 ? h : w;
    std::vector<uint8_t> upright(frame.size());
    libyuv::ARGBRotate(frame.data(), w * 4, upright.data(), *width * 4, w, h,
                       static_cast<libyuv::RotationMode>(degrees));
    return upright;
  }

  using PatternOnScreenTest::Differences;
  // Of the frame's pixels.
  int Differences(int left, int top) {
    return Differences(FramePixels(), static_cast<int>(frame_->GetTextureDesc().Width), left, top);
  }

  int NonBlack() {
    int lit = 0;
    const std::vector<uint8_t> pixels = FramePixels();
    for (size_t i = 0; i < pixels.size(); i += 4) lit += (pixels[i] | pixels[i + 1] | pixels[i + 2]) != 0;
    return lit;
  }

  std::unique_ptr<VideoRecordingSettings> settings_;
  std::unique_ptr<D3D11Frame> frame_;
};

// Wine's own output has no duplication: this is where the hardware session gives way to the software one.
TEST_F(DDASourceTest, WithoutTheStandInInitializeFailsAsWineDoes) {
  StandIn::UninstallDuplication();
  settings_ = std::make_unique<VideoRecordingSettings>(L"", RECT{}, OutputSize(RECT{}));
  frame_ = std::make_unique<D3D11Frame>();
  ASSERT_EQ(frame_->Initialize(L"", settings_->CaptureSize()), S_OK);
  DDASource source(*settings_);
  EXPECT_EQ(source.Initialize(frame_.get()), E_NOTIMPL);
  EXPECT_EQ(StandIn::InstallDuplication(), S_OK);
}

TEST_F(DDASourceTest, CopiesTheCaptureRectangleOfTheDesktop) {
  const struct {
    RECT crop;
    int picture_left, picture_top;  // where the picture lands in the frame
  } cases[] = {{RECT{}, kPictureOnScreen.left, kPictureOnScreen.top}, {kPictureOnScreen, 0, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "crop " << c.crop.left << "," << c.crop.top);
    auto source = MakeSource(c.crop);
    ASSERT_EQ(source->CaptureToD3DFrame(), S_OK);
    EXPECT_EQ(Differences(c.picture_left, c.picture_top), 0);
    EXPECT_EQ(source->CaptureToSystemMemory(nullptr), E_NOTIMPL);
  }
  // Each capture is a new image of the desktop: with the window hidden its picture is gone.
  auto source = MakeSource(kPictureOnScreen);
  ShowWindow(PictureWindow(), SW_HIDE);
  PumpMessages(300);
  ASSERT_EQ(source->CaptureToD3DFrame(), S_OK);
  EXPECT_GT(Differences(0, 0), kPictureWidth * kPictureHeight / 2);
  ShowWindow(PictureWindow(), SW_SHOWNOACTIVATE);
  PumpMessages(300);
  ASSERT_EQ(source->CaptureToD3DFrame(), S_OK);
  EXPECT_EQ(Differences(0, 0), 0);
}

TEST_F(DDASourceTest, DrawsTheCursorWhenItsCornerLiesInTheRectangle) {
  auto source = MakeSource(kPictureOnScreen);
  const POINT hotspot = ArrowHotspot();
  MoveCursor(kPictureOnScreen.left + 20 + hotspot.x, kPictureOnScreen.top + 10 + hotspot.y);
  ASSERT_EQ(source->CaptureToD3DFrame(), S_OK);
  EXPECT_GT(Differences(0, 0), 10);
  ShowCursor(FALSE);
  ASSERT_EQ(source->CaptureToD3DFrame(), S_OK);
  EXPECT_EQ(Differences(0, 0), 0);
  ShowCursor(TRUE);
  // Its corner one pixel left of the rectangle: left out altogether, although GDI would show most of it.
  MoveCursor(kPictureOnScreen.left - 1 + hotspot.x, kPictureOnScreen.top + 20 + hotspot.y);
  ASSERT_EQ(source->CaptureToD3DFrame(), S_OK);
  EXPECT_EQ(Differences(0, 0), 0);
}

TEST_F(DDASourceTest, TimeOutsShowTheBlankPictureFirstThenThePreviousImage) {
  StandIn::TimeOutAcquisitions(2);
  auto source = MakeSource(kPictureOnScreen);
  ASSERT_EQ(source->CaptureToD3DFrame(), S_OK);
  EXPECT_EQ(NonBlack(), 0);
  ASSERT_EQ(source->CaptureToD3DFrame(), S_OK);
  EXPECT_EQ(NonBlack(), 0);
  ASSERT_EQ(source->CaptureToD3DFrame(), S_OK);
  EXPECT_EQ(Differences(0, 0), 0);
  // Paint over the frame: a time-out copies the previous desktop image in again.
  {
    const auto dc = frame_->GetDC();
    const RECT all{0, 0, kPictureWidth, kPictureHeight};
    FillRect(dc->Get(), &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
  }
  StandIn::TimeOutAcquisitions(1);
  ASSERT_EQ(source->CaptureToD3DFrame(), S_OK);
  EXPECT_EQ(Differences(0, 0), 0);
}

// The secure desktop: access is lost, re-creation is refused a few times, then the picture comes back. Twenty
// rounds leave one duplication and one desktop texture alive, and none once the source is gone.
TEST_F(DDASourceTest, RecoversFromLostAccessWithoutKeepingOldDuplications) {
  constexpr int kRefusals = 3;
  auto source = MakeSource(kPictureOnScreen);
  ASSERT_EQ(source->CaptureToD3DFrame(), S_OK);
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    StandIn::LoseAccess(kRefusals);
    ASSERT_EQ(source->CaptureToD3DFrame(), DXGI_ERROR_ACCESS_LOST);
    int refusals = 0;
    HRESULT recreated = E_FAIL;
    Testing::WithinOrDie(std::chrono::seconds(10), "re-creating the duplication", [&] {
      while ((recreated = source->LoadOutputDuplication()) == E_ACCESSDENIED && refusals < 100) {
        ++refusals;
        Sleep(30);
      }
    });
    EXPECT_EQ(recreated, S_OK);
    EXPECT_EQ(refusals, kRefusals);
    ASSERT_EQ(source->CaptureToD3DFrame(), S_OK);
  }
  EXPECT_EQ(Differences(0, 0), 0);
  EXPECT_EQ(StandIn::GetCounts().live_duplications, 1);
  EXPECT_EQ(StandIn::GetCounts().live_textures, 1);
  source.reset();
  EXPECT_EQ(StandIn::GetCounts().live_duplications, 0);
  EXPECT_EQ(StandIn::GetCounts().live_textures, 0);
}

// Two sources of one output at once (two recordings of a display): DXGI refuses the second duplication while the
// first lives. The second source fails to start, saying why, and starts once the first is gone.
TEST_F(DDASourceTest, ASecondSourceOfADuplicatedOutputFailsUntilTheFirstIsGone) {
  auto first = MakeSource(kPictureOnScreen);
  D3D11Frame frame;
  ASSERT_EQ(frame.Initialize(settings_->DisplayName(), settings_->CaptureSize()), S_OK);
  DDASource second(*settings_);
  {
    Testing::LogCapture log;
    EXPECT_EQ(second.Initialize(&frame), E_INVALIDARG);
    EXPECT_TRUE(log.Contains("this process duplicates the output already")) << log.Text();
  }
  first.reset();
  ASSERT_EQ(second.Initialize(&frame), S_OK);
  EXPECT_EQ(second.CaptureToD3DFrame(), S_OK);
  EXPECT_EQ(StandIn::GetCounts().live_duplications, 1);
}

// A re-creation that fails for good leaves the source without a duplication: captures report the loss again
// (the owner may retry) and leave the last image in the frame, until a re-creation succeeds.
TEST_F(DDASourceTest, WithoutADuplicationCapturesFailUntilItIsBack) {
  DDASource uninitialized(VideoRecordingSettings(L"", RECT{}, OutputSize(RECT{})));
  EXPECT_EQ(uninitialized.CaptureToD3DFrame(), E_FAIL);
  EXPECT_EQ(uninitialized.LoadOutputDuplication(), E_POINTER);
  EXPECT_EQ(uninitialized.Initialize(nullptr), E_POINTER);

  auto source = MakeSource(kPictureOnScreen);
  ASSERT_EQ(source->CaptureToD3DFrame(), S_OK);
  StandIn::LoseAccess(1, DXGI_ERROR_UNSUPPORTED);
  EXPECT_EQ(source->CaptureToD3DFrame(), DXGI_ERROR_ACCESS_LOST);
  EXPECT_EQ(source->LoadOutputDuplication(), DXGI_ERROR_UNSUPPORTED);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(source->CaptureToD3DFrame(), DXGI_ERROR_ACCESS_LOST);
  EXPECT_EQ(Differences(0, 0), 0);
  EXPECT_EQ(StandIn::GetCounts().live_duplications, 0);
  ASSERT_EQ(source->LoadOutputDuplication(), S_OK);
  EXPECT_EQ(source->CaptureToD3DFrame(), S_OK);
  EXPECT_EQ(Differences(0, 0), 0);
}

// A turned monitor right of and below the origin: its image fills the frame in the output's unrotated layout,
// which turned upright shows the picture where it lies on the monitor; the cursor is drawn where turning puts
// it back under the pointer (the arrow itself turned with the picture).
TEST_F(DDASourceTest, ATurnedOutputOffTheOriginFillsTheFrameInItsUnrotatedLayout) {
  constexpr RECT kMonitor{250, 150, 250 + 160, 150 + 240};  // holds the picture at (50, 50)
  const struct {
    DXGI_MODE_ROTATION rotation;
    int degrees;
  } cases[] = {{DXGI_MODE_ROTATION_ROTATE90, 90}, {DXGI_MODE_ROTATION_ROTATE180, 180},
               {DXGI_MODE_ROTATION_ROTATE270, 270}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.degrees);
    auto source = MakeTurnedSource(c.rotation, c.degrees, kMonitor);
    ASSERT_EQ(source->CaptureToD3DFrame(), S_OK);
    int width = 0;
    std::vector<uint8_t> upright = UprightPixels(c.degrees, &width);
    ASSERT_EQ(width, kMonitor.right - kMonitor.left);
    EXPECT_EQ(Differences(upright, width, 50, 50), 0);

    MoveCursor(kPictureOnScreen.left + 40, kPictureOnScreen.top + 30);  // the hotspot at (90, 80) on the monitor
    ASSERT_EQ(source->CaptureToD3DFrame(), S_OK);
    upright = UprightPixels(c.degrees, &width);
    int nearest = INT_MAX, farthest = 0;
    for (int y = 0; y < kPictureHeight; ++y) {
      for (int x = 0; x < kPictureWidth; ++x) {
        if (RgbAt(upright, width, 50 + x, 50 + y) == PatternColor(x, y)) continue;
        const int distance = std::max(std::abs(50 + x - 90), std::abs(50 + y - 80));
        nearest = std::min(nearest, distance);
        farthest = std::max(farthest, distance);
      }
    }
    EXPECT_LE(nearest, 2) << "no cursor at the pointer";
    EXPECT_LE(farthest, 40) << "cursor pixels away from the pointer";
    MoveCursor(1800, 1000);
  }
}

// The frame and the processor are laid out for the output's rotation when the frame was made: a duplication of
// an output turned since then is refused (at the start and at a re-creation) instead of being copied into a
// frame of the wrong shape, and taken again once the output is back.
TEST_F(DDASourceTest, ADuplicationOfAnOutputTurnedSinceTheFrameWasMadeIsRefused) {
  auto source = MakeSource(kPictureOnScreen);
  ASSERT_EQ(source->CaptureToD3DFrame(), S_OK);
  StandIn::TurnOutputs(DXGI_MODE_ROTATION_ROTATE90);
  StandIn::LoseAccess(0);
  EXPECT_EQ(source->CaptureToD3DFrame(), DXGI_ERROR_ACCESS_LOST);
  EXPECT_EQ(source->LoadOutputDuplication(), DXGI_ERROR_MODE_CHANGE_IN_PROGRESS);
  EXPECT_EQ(StandIn::GetCounts().live_duplications, 0);
  DDASource fresh(*settings_);
  EXPECT_EQ(fresh.Initialize(frame_.get()), DXGI_ERROR_MODE_CHANGE_IN_PROGRESS);
  StandIn::TurnOutputs(DXGI_MODE_ROTATION_IDENTITY);
  ASSERT_EQ(source->LoadOutputDuplication(), S_OK);
  EXPECT_EQ(source->CaptureToD3DFrame(), S_OK);
  EXPECT_EQ(Differences(0, 0), 0);
}

}  // namespace
}  // namespace VellRecorder
