// The fixture of the screen capture tests: a window of the suite's own shows the pattern (testwindow.h) at
// kPictureOnScreen, away from the screen's corners, and each test starts with the cursor away from it.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "testing/testwindow.h"

namespace VellRecorder::Testing {

class PatternOnScreenTest : public ::testing::Test {
 protected:
  static constexpr RECT kPictureOnScreen{300, 200, 300 + 96, 200 + 64};
  static constexpr int kPictureWidth = 96;
  static constexpr int kPictureHeight = 64;

  // Opening a window takes Wine a few seconds: one serves the whole suite.
  static void SetUpTestSuite() {
    window_ = std::make_unique<TestWindow>(L"pattern", kPictureOnScreen, WindowStyle::kOnTop);
  }
  static void TearDownTestSuite() { window_.reset(); }

  // The window that shows the picture.
  static HWND PictureWindow() { return window_->Handle(); }

  void SetUp() override {
    ASSERT_TRUE(window_->IsOpen());
    MoveCursor(1800, 1000);  // well away from the picture
  }

  // Moves the cursor and gives it our arrow: the shape a capture copies must be one this process owns.
  static void MoveCursor(int x, int y) {
    SetCursorPos(x, y);
    SetCursor(LoadCursorW(nullptr, IDC_ARROW));
    PumpMessages(150);
  }

  static POINT ArrowHotspot() {
    ICONINFO info = {};
    GetIconInfo(LoadCursorW(nullptr, IDC_ARROW), &info);
    if (info.hbmMask) DeleteObject(info.hbmMask);
    if (info.hbmColor) DeleteObject(info.hbmColor);
    return POINT{static_cast<LONG>(info.xHotspot), static_cast<LONG>(info.yHotspot)};
  }

  // Pixels of the picture that differ from the pattern, the picture's corner at (left, top) of `pixels` (top-down
  // BGRA, `width` pixels a row).
  static int Differences(const std::vector<uint8_t>& pixels, int width, int left = 0, int top = 0) {
    int differing = 0;
    for (int y = 0; y < kPictureHeight; ++y) {
      for (int x = 0; x < kPictureWidth; ++x) {
        differing += RgbAt(pixels, width, left + x, top + y) != PatternColor(x, y);
      }
    }
    return differing;
  }

 private:
  static inline std::unique_ptr<TestWindow> window_;
};

}  // namespace VellRecorder::Testing
