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

// The picture sits away from the screen's corners; the capture takes exactly the picture (the display's
// corner is the desktop origin, so the crop has the same coordinates).
constexpr RECT kPictureOnScreen{300, 200, 300 + 96, 200 + 64};
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

  std::vector<uint8_t> Capture() {
    std::vector<uint8_t> pixels(static_cast<size_t>(kWidth) * kHeight * source_.GetBytesPerPixel(), 0);
    uint8_t* destination = pixels.data();
    EXPECT_EQ(source_.CaptureToSystemMemory(&destination), S_OK);
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
  GDISource source_{VideoRecordingSettings(L"", kPictureOnScreen, SIZE{0, 0})};
};

std::unique_ptr<PatternWindow> GdiSourceTest::window_;

TEST_F(GdiSourceTest, CapturesTheRectangleTopRowFirstPixelForPixel) {
  ASSERT_EQ(source_.Settings().CaptureWidth(), kWidth);
  ASSERT_EQ(source_.Settings().CaptureHeight(), kHeight);
  const std::vector<uint8_t> pixels = Capture();
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      ASSERT_EQ(RgbAt(pixels, kWidth, x, y), PatternColor(x, y)) << "pixel " << x << ", " << y;
    }
  }
}

TEST_F(GdiSourceTest, CursorIsDrawnOnlyWhenItsCornerLiesInsideTheRectangle) {
  const POINT hotspot = ArrowHotspot();
  MoveCursor(kPictureOnScreen.left + 20 + hotspot.x, kPictureOnScreen.top + 10 + hotspot.y);
  const std::vector<uint8_t> pixels = Capture();
  EXPECT_GT(Differences(pixels), 10);
  // Nothing left of or above the cursor image's corner changes.
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < 20; ++x) ASSERT_EQ(RgbAt(pixels, kWidth, x, y), PatternColor(x, y)) << x << ", " << y;
  }
  // A hidden cursor is left out, and the capture still succeeds.
  ShowCursor(FALSE);
  EXPECT_EQ(Differences(Capture()), 0);
  ShowCursor(TRUE);
  // One pixel outside: GDI would show most of the arrow, but the overlay leaves it out altogether.
  MoveCursor(kPictureOnScreen.left - 1 + hotspot.x, kPictureOnScreen.top + 20 + hotspot.y);
  EXPECT_EQ(Differences(Capture()), 0);
  MoveCursor(kPictureOnScreen.left + 20 + hotspot.x, kPictureOnScreen.top - 1 + hotspot.y);
  EXPECT_EQ(Differences(Capture()), 0);
  // Hanging over the right edge it is drawn, clipped.
  MoveCursor(kPictureOnScreen.right - 3 + hotspot.x, kPictureOnScreen.top + 20 + hotspot.y);
  EXPECT_GT(Differences(Capture()), 0);
}

TEST_F(GdiSourceTest, MissingDestinationFailsWithoutWriting) {
  EXPECT_EQ(source_.CaptureToSystemMemory(nullptr), E_POINTER);
  uint8_t* none = nullptr;
  EXPECT_EQ(source_.CaptureToSystemMemory(&none), E_POINTER);
}

}  // namespace
}  // namespace VellRecorder
