// The picture work of the stand-in video processor: turn one top-down BGRA frame into an NV12 frame of
// another size, corrected for the source's rotation and optionally mirrored, in limited range with the
// BT.601 or BT.709 matrix.
#pragma once

#include <cstdint>
#include <vector>

namespace VellRecorder::StandIns {

enum class Mirror { kNone, kHorizontal, kVertical };
enum class Matrix { kBt601, kBt709 };

struct PictureJob {
  const uint8_t* bgra;  // first (top) row
  int stride;           // bytes from one row to the next; negative walks upwards in memory
  int width;
  int height;
  // Clockwise turn that makes the picture upright: 0, 90, 180 or 270.
  int turn;
  // Applied to the upright picture.
  Mirror mirror;
  Matrix matrix;
  uint8_t* nv12;  // Y plane of dst_width x dst_height, then the interleaved UV plane; both with stride dst_width
  int dst_width;  // even
  int dst_height;  // even
};

// Keeps its scratch frames between calls, so one renderer per transform. Not thread-safe.
class PictureRenderer {
 public:
  // False when libyuv refuses the sizes.
  bool Render(const PictureJob& job);

 private:
  std::vector<uint8_t> turned_;
  std::vector<uint8_t> mirrored_;
  std::vector<uint8_t> canvas_;
};

// The part of the output that the picture fills when its aspect ratio is kept (square pixels on both sides):
// the rest is border, as with the system processor's letterboxing. Offsets and sizes are even.
struct FitRect {
  int x, y, width, height;
};
FitRect FitInside(int src_width, int src_height, int dst_width, int dst_height);

// Limited-range conversion of a BGRA picture, chroma from the average of each 2x2 block.
void BgraToNv12(const uint8_t* bgra, int stride, int width, int height, Matrix matrix, uint8_t* nv12);

}  // namespace VellRecorder::StandIns
