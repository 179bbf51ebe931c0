// Byte arithmetic of the I420 frames the software path passes around: the Y plane (stride = width), then
// U and V (stride = width / 2), each a quarter of the Y size. Needs no Windows API.
#pragma once

#include <cstdint>

namespace VellRecorder::Libyuv {

constexpr uint64_t I420LumaSize(uint32_t width, uint32_t height) { return uint64_t{width} * height; }

constexpr uint64_t I420PlanarSize(uint32_t width, uint32_t height) { return I420LumaSize(width, height) * 3 / 2; }

// How far libyuv reaches into such a frame. For odd sizes it writes (and reads) (width + 1) / 2 chroma
// bytes on each of (height + 1) / 2 rows while the planes are laid out with width / 2, so the V plane
// runs past the planar size; buffers are allocated to this extent so that no odd capture size can
// make a conversion or scale step leave its buffer.
constexpr uint64_t I420AccessExtent(uint32_t width, uint32_t height) {
  const uint64_t planar = I420PlanarSize(width, height);
  if (width == 0 || height == 0) return planar;
  const uint64_t luma = I420LumaSize(width, height);
  const uint64_t v_offset = luma + luma / 4;
  const uint64_t v_end = v_offset + (uint64_t{height + 1} / 2 - 1) * (width / 2) + (uint64_t{width} + 1) / 2;
  return v_end > planar ? v_end : planar;
}

// Bytes a packed source of `bytes_per_pixel` (row stride = width * bytes_per_pixel) must hold for a
// 4-byte-per-pixel read of every row: libyuv reads 4 bytes per pixel whatever the stride says.
constexpr uint64_t PackedReadExtent(uint32_t width, uint32_t height, uint32_t bytes_per_pixel) {
  if (width == 0 || height == 0) return 0;
  return uint64_t{height - 1} * width * bytes_per_pixel + uint64_t{width} * 4;
}

}  // namespace VellRecorder::Libyuv
