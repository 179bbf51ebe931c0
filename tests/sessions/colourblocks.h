// Four solid colour blocks shown on the virtual screen, and the last picture of a recorded part decoded with
// OpenH264: recordings are checked by the colour found where each block should land.
#pragma once

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <vector>

#include "testing/testwindow.h"

namespace VellRecorder::Testing {

struct Rgb {
  int r, g, b;
};
struct Yuv {
  int y, u, v;
};

// Red, green / blue, yellow: every pair differs in both chroma samples, and red and blue trade U for V.
inline constexpr Rgb kBlocks[] = {{220, 20, 20}, {20, 200, 40}, {30, 40, 220}, {230, 220, 30}};

// BT.601 limited range, as the converters compute it.
Yuv ToYuv(const Rgb& c);

// A top-most window over `screen_rect` showing the blocks in its quadrants: kBlocks[0] top left, [1] top right,
// [2] bottom left, [3] bottom right.
class BlocksWindow {
 public:
  explicit BlocksWindow(RECT screen_rect);

  // Open and showing its first block on the screen.
  bool IsShown() const;
  // The centre of block i in screen coordinates.
  POINT BlockCentre(int i) const;

 private:
  RECT rect_;
  TestWindow window_;
};

struct Picture {
  int width = 0, height = 0;
  std::vector<uint8_t> y, u, v;  // tightly packed, chroma (width + 1) / 2 by (height + 1) / 2

  Yuv At(int x, int y) const;
};

// The last picture of the video stream of a part file; decoding errors fail the test.
Picture DecodeLastPicture(const std::filesystem::path& part);

// Within `tolerance` in each of Y, U and V.
bool Near(const Yuv& got, const Yuv& want, int tolerance);

}  // namespace VellRecorder::Testing
