// I420 scaling on the CPU, for when the output size differs from the capture size.
#pragma once

#include <cstdint>

namespace VellRecorder::Libyuv {

class Resizer {
 public:
  // Box-filtered scale between two I420 frames whose chroma planes have stride (width + 1) / 2. The planes
  // point into locked buffers. False on failure (logged).
  static bool Process(const uint8_t* src_y, const uint8_t* src_u, const uint8_t* src_v, int32_t src_width,
                      int32_t src_height, uint8_t* dst_y, uint8_t* dst_u, uint8_t* dst_v, int32_t dst_width,
                      int32_t dst_height);

  // The same for whole frames laid out as i420layout.h says; `src` and `dst` hold I420PlanarSize bytes of
  // their sizes.
  static bool ScaleFrame(const uint8_t* src, uint32_t src_width, uint32_t src_height, uint8_t* dst,
                         uint32_t dst_width, uint32_t dst_height);
};

}  // namespace VellRecorder::Libyuv
