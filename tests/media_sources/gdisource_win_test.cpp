#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "media_sources/patternwindow.h"
#include "media_sources/video/gdisource.h"

namespace VellRecorder {
namespace {

using Testing::PatternColor;
using Testing::PatternWindow;
using Testing::RgbAt;

// The picture sits away from the screen's corners; the capture takes exactly the picture.
constexpr RECT kPictureOnScreen{300, 200, 300 + 96, 200 + 64};
constexpr RECT kCropOnDisplay{300, 200, 300 + 96, 200 + 64};
constexpr int kWidth = 96;
constexpr int kHeight = 64;

class GdiSourceTest : public ::testing::Test {
 protected:
  // Opening a window takes Wine a few seconds: one serves the whole suite.
  static void SetUpTestSuite() { window_ = std::make_unique<PatternWindow>(kPictureOnScreen); }
  static void TearDownTestSuite() { window_.reset(); }

  void SetUp() override {
    ASSERT_TRUE(window_->IsOpen());
    MoveCursor(1800, 1000);  // well away from the picture
  }

  // Moves the cursor and gives it our arrow: the shape the overlay copies must be one this process owns.
  void MoveCursor(int x, int y) {
    SetCursorPos(x, y);
    SetCursor(LoadCursorW(nullptr, IDC_ARROW));
    PatternWindow::Pump(150);
  }

  std::vector<uint8_t> Capture(GDISource& source) {
    std::vector<uint8_t> pixels(static_cast<size_t>(kWidth) * kHeight * source.GetBytesPerPixel(), 0);
    uint8_t* destination = pixels.data();
    EXPECT_EQ(source.CaptureToSystemMemory(&destination), S_OK);
    return pixels;
  }

  // Pixels that differ from the pattern.
  static int Differences(const std::vector<uint8_t>& pixels) {
    int differing = 0;
    for (int y = 0; y < kHeight; ++y) {
      for (int x = 0; x < kWidth; ++x) differing += RgbAt(pixels, kWidth, x, y) != PatternColor(x, y);
    }
    return differing;
  }

  static POINT ArrowHotspot() {
    ICONINFO info = {};
    GetIconInfo(LoadCursorW(nullptr, IDC_ARROW), &info);
    if (info.hbmMask) DeleteObject(info.hbmMask);
    if (info.hbmColor) DeleteObject(info.hbmColor);
    return POINT{static_cast<LONG>(info.xHotspot), static_cast<LONG>(info.yHotspot)};
  }

  static std::unique_ptr<PatternWindow> window_;
};

std::unique_ptr<PatternWindow> GdiSourceTest::window_;

TEST_F(GdiSourceTest, CapturesTheRectangleTopRowFirstPixelForPixel) {
  GDISource source(VideoRecordingSettings(L"", kCropOnDisplay, SIZE{0, 0}));
  ASSERT_EQ(source.Settings().CaptureWidth(), kWidth);
  ASSERT_EQ(source.Settings().CaptureHeight(), kHeight);
  const std::vector<uint8_t> pixels = Capture(source);
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      ASSERT_EQ(RgbAt(pixels, kWidth, x, y), PatternColor(x, y)) << "pixel " << x << ", " << y;
    }
  }
}

TEST_F(GdiSourceTest, CursorInsideTheRectangleIsDrawn) {
  GDISource source(VideoRecordingSettings(L"", kCropOnDisplay, SIZE{0, 0}));
  const POINT hotspot = ArrowHotspot();
  MoveCursor(kPictureOnScreen.left + 20 + hotspot.x, kPictureOnScreen.top + 10 + hotspot.y);
  const std::vector<uint8_t> pixels = Capture(source);
  EXPECT_GT(Differences(pixels), 10);
  // Nothing left of or above the cursor image's corner changes.
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < 20; ++x) ASSERT_EQ(RgbAt(pixels, kWidth, x, y), PatternColor(x, y)) << x << ", " << y;
  }
  // A hidden cursor is left out, and the capture still succeeds.
  ShowCursor(FALSE);
  EXPECT_EQ(Differences(Capture(source)), 0);
  ShowCursor(TRUE);
}

TEST_F(GdiSourceTest, CursorIsDrawnOnlyWhenItsCornerLiesInsideTheRectangle) {
  GDISource source(VideoRecordingSettings(L"", kCropOnDisplay, SIZE{0, 0}));
  const POINT hotspot = ArrowHotspot();
  // One pixel outside: GDI would show most of the arrow, but the overlay leaves it out altogether.
  MoveCursor(kPictureOnScreen.left - 1 + hotspot.x, kPictureOnScreen.top + 20 + hotspot.y);
  EXPECT_EQ(Differences(Capture(source)), 0);
  MoveCursor(kPictureOnScreen.left + 20 + hotspot.x, kPictureOnScreen.top - 1 + hotspot.y);
  EXPECT_EQ(Differences(Capture(source)), 0);
  // Hanging over the right edge it is drawn, clipped.
  MoveCursor(kPictureOnScreen.right - 3 + hotspot.x, kPictureOnScreen.top + 20 + hotspot.y);
  EXPECT_GT(Differences(Capture(source)), 0);
}

TEST_F(GdiSourceTest, MissingDestinationFailsWithoutWriting) {
  GDISource source(VideoRecordingSettings(L"", kCropOnDisplay, SIZE{0, 0}));
  EXPECT_EQ(source.CaptureToSystemMemory(nullptr), E_POINTER);
  uint8_t* none = nullptr;
  EXPECT_EQ(source.CaptureToSystemMemory(&none), E_POINTER);
}

}  // namespace
}  // namespace VellRecorder
