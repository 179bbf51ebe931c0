// Plane sizes of one captured frame on the software video path.
#pragma once

#include <cstdint>

namespace VellRecorder {

// I420 with chroma planes of (width + 1) / 2 by (height + 1) / 2 samples (i420layout.h), so that odd capture
// sizes keep their last chroma column and row.
struct VideoFrameLayout {
  VideoFrameLayout(uint32_t frame_width, uint32_t frame_height, uint8_t bytes_per_pixel);

  uint32_t width;
  uint32_t height;
  uint32_t lumaSize;      // width × height: the Y plane, and where the U plane starts
  uint32_t chromaStride;  // (width + 1) / 2: bytes per row of U and of V
  uint32_t vOffset;       // where the V plane starts
  uint32_t planarSize;    // a whole I420 picture
  uint8_t bytesPerPixel;  // of the packed source picture
};

}  // namespace VellRecorder
