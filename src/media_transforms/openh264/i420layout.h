// Byte arithmetic of the I420 frames the software path passes around: the Y plane (stride = width), then
// U and V, each (width + 1) / 2 samples wide and (height + 1) / 2 rows high. Rounding up matters for odd
// sizes: every converter, scaler and encoder reads and writes a chroma sample for the last, unpaired
// column and row, so a plane laid out with width / 2 would lose that sample to its neighbour (the last
// sample of each chroma row overwritten by the next row, U running into V). Needs no Windows API.
#pragma once

#include <cstdint>

namespace VellRecorder::Libyuv {

constexpr uint32_t I420ChromaWidth(uint32_t width) { return width / 2 + width % 2; }
constexpr uint32_t I420ChromaHeight(uint32_t height) { return height / 2 + height % 2; }

constexpr uint64_t I420LumaSize(uint32_t width, uint32_t height) { return uint64_t{width} * height; }

// One chroma plane (U or V).
constexpr uint64_t I420ChromaSize(uint32_t width, uint32_t height) {
  return uint64_t{I420ChromaWidth(width)} * I420ChromaHeight(height);
}

// A whole frame: Y, U and V back to back.
constexpr uint64_t I420PlanarSize(uint32_t width, uint32_t height) {
  return I420LumaSize(width, height) + 2 * I420ChromaSize(width, height);
}

// Where each plane of a frame starts, and the strides to read it with.
template <typename Byte>
struct I420Planes {
  Byte* y;
  Byte* u;
  Byte* v;
  int y_stride;
  int chroma_stride;
};

template <typename Byte>
constexpr I420Planes<Byte> I420PlanesOf(Byte* frame, uint32_t width, uint32_t height) {
  const uint64_t luma = I420LumaSize(width, height);
  const uint64_t chroma = I420ChromaSize(width, height);
  return I420Planes<Byte>{frame, frame + luma, frame + luma + chroma, static_cast<int>(width),
                          static_cast<int>(I420ChromaWidth(width))};
}

// Bytes a packed source of `bytes_per_pixel` (row stride = width * bytes_per_pixel) must hold for a
// 4-byte-per-pixel read of every row: libyuv reads 4 bytes per pixel whatever the stride says.
constexpr uint64_t PackedReadExtent(uint32_t width, uint32_t height, uint32_t bytes_per_pixel) {
  if (width == 0 || height == 0) return 0;
  return uint64_t{height - 1} * width * bytes_per_pixel + uint64_t{width} * 4;
}

}  // namespace VellRecorder::Libyuv
