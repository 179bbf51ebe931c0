#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "media_sources/video/gdisource.h"
#include "testing/patternonscreen.h"

namespace VellRecorder {
namespace {

using Testing::PatternColor;
using Testing::RgbAt;

// The capture takes exactly the picture (the display's corner is the desktop origin, so the crop has the same
// coordinates).
class GdiSourceTest : public Testing::PatternOnScreenTest {
 protected:
  static constexpr int kWidth = kPictureWidth;
  static constexpr int kHeight = kPictureHeight;

  std::vector<uint8_t> Capture() {
    std::vector<uint8_t> pixels(static_cast<size_t>(kWidth) * kHeight * source_.GetBytesPerPixel(), 0);
    uint8_t* destination = pixels.data();
    EXPECT_EQ(source_.CaptureToSystemMemory(&destination), S_OK);
    return pixels;
  }

  GDISource source_{VideoRecordingSettings(L"", kPictureOnScreen, SIZE{0, 0})};
};

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
  EXPECT_GT(Differences(pixels, kWidth), 10);
  // Nothing left of or above the cursor image's corner changes.
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < 20; ++x) ASSERT_EQ(RgbAt(pixels, kWidth, x, y), PatternColor(x, y)) << x << ", " << y;
  }
  // A hidden cursor is left out, and the capture still succeeds.
  ShowCursor(FALSE);
  EXPECT_EQ(Differences(Capture(), kWidth), 0);
  ShowCursor(TRUE);
  // One pixel outside: GDI would show most of the arrow, but the overlay leaves it out altogether.
  MoveCursor(kPictureOnScreen.left - 1 + hotspot.x, kPictureOnScreen.top + 20 + hotspot.y);
  EXPECT_EQ(Differences(Capture(), kWidth), 0);
  MoveCursor(kPictureOnScreen.left + 20 + hotspot.x, kPictureOnScreen.top - 1 + hotspot.y);
  EXPECT_EQ(Differences(Capture(), kWidth), 0);
  // Hanging over the right edge it is drawn, clipped.
  MoveCursor(kPictureOnScreen.right - 3 + hotspot.x, kPictureOnScreen.top + 20 + hotspot.y);
  EXPECT_GT(Differences(Capture(), kWidth), 0);
}

TEST_F(GdiSourceTest, MissingDestinationFailsWithoutWriting) {
  EXPECT_EQ(source_.CaptureToSystemMemory(nullptr), E_POINTER);
  uint8_t* none = nullptr;
  EXPECT_EQ(source_.CaptureToSystemMemory(&none), E_POINTER);
}

}  // namespace
}  // namespace VellRecorder
