// Desktop frames (32-bit B, G, R, A in memory) to planar I420, on the CPU.
#pragma once

#include <windows.h>
#include <mfobjects.h>

#include <cstdint>

#include "utils/comptr.h"

namespace VellRecorder::Libyuv {

// Used by one pipeline thread at a time; no lock.
class ColorConverter {
 public:
  ColorConverter(uint32_t width, uint32_t height, uint32_t bytes_per_pixel);

  // Replaces *dst with a new buffer holding the I420 frame of `src` (current length = the planar
  // size). 0 on success, -1 on failure (logged); *dst may then hold an empty buffer.
  int Process(IMFMediaBuffer* src, ComPtr<IMFMediaBuffer>* dst);

  uint32_t Width() const { return width_; }
  uint32_t Height() const { return height_; }
  uint32_t PlanarSize() const { return planar_size_; }

 private:
  uint32_t width_;
  uint32_t height_;
  uint32_t luma_size_;          // offset of the U plane
  uint32_t luma_plus_quarter_;  // offset of the V plane
  uint32_t planar_size_;
  uint32_t bytes_per_pixel_;
};

}  // namespace VellRecorder::Libyuv
