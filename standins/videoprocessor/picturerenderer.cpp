#include "videoprocessor/picturerenderer.h"

#include <libyuv.h>

#include <algorithm>

namespace VellRecorder::StandIns {
namespace {

// Rows of the RGB-to-YCbCr matrices scaled by the 219 (luma) and 224 (chroma) steps of limited range, in
// 1/256 units, as {r, g, b}. Each chroma row sums to 0 so that greys stay at 128.
struct Coefficients {
  int y[3], u[3], v[3];
};
constexpr Coefficients kBt601 = {{66, 129, 25}, {-38, -74, 112}, {112, -94, -18}};
constexpr Coefficients kBt709 = {{47, 157, 16}, {-26, -86, 112}, {112, -102, -10}};
// The +128 of the chroma offset and the +128 of rounding, folded into one constant.
constexpr int kChromaBias = 128 * 256 + 128;

int Dot(const int (&row)[3], int r, int g, int b) { return row[0] * r + row[1] * g + row[2] * b; }

void ConvertRowPair(const uint8_t* top, const uint8_t* bottom, int width, const Coefficients& m, uint8_t* y_top,
                    uint8_t* y_bottom, uint8_t* uv) {
  for (int x = 0; x < width; x += 2) {
    int b = 0, g = 0, r = 0;
    const uint8_t* pixels[] = {top + x * 4, top + x * 4 + 4, bottom + x * 4, bottom + x * 4 + 4};
    uint8_t* lumas[] = {y_top + x, y_top + x + 1, y_bottom + x, y_bottom + x + 1};
    for (int i = 0; i < 4; ++i) {
      const uint8_t* p = pixels[i];
      *lumas[i] = static_cast<uint8_t>(16 + ((Dot(m.y, p[2], p[1], p[0]) + 128) >> 8));
      b += p[0];
      g += p[1];
      r += p[2];
    }
    b = (b + 2) >> 2;
    g = (g + 2) >> 2;
    r = (r + 2) >> 2;
    uv[x] = static_cast<uint8_t>((Dot(m.u, r, g, b) + kChromaBias) >> 8);
    uv[x + 1] = static_cast<uint8_t>((Dot(m.v, r, g, b) + kChromaBias) >> 8);
  }
}

}  // namespace

FitRect FitInside(int src_width, int src_height, int dst_width, int dst_height) {
  const int64_t wide = int64_t{src_width} * dst_height;
  const int64_t tall = int64_t{src_height} * dst_width;
  if (wide == tall) return {0, 0, dst_width, dst_height};
  if (wide > tall) {
    const int height = std::max(2, static_cast<int>(int64_t{dst_width} * src_height / src_width) & ~1);
    return {0, ((dst_height - height) / 2) & ~1, dst_width, height};
  }
  const int width = std::max(2, static_cast<int>(int64_t{dst_height} * src_width / src_height) & ~1);
  return {((dst_width - width) / 2) & ~1, 0, width, dst_height};
}

void BgraToNv12(const uint8_t* bgra, int stride, int width, int height, Matrix matrix, uint8_t* nv12) {
  const Coefficients& m = matrix == Matrix::kBt709 ? kBt709 : kBt601;
  uint8_t* uv_plane = nv12 + static_cast<size_t>(width) * height;
  for (int y = 0; y < height; y += 2) {
    const uint8_t* top = bgra + static_cast<ptrdiff_t>(y) * stride;
    uint8_t* y_top = nv12 + static_cast<size_t>(y) * width;
    ConvertRowPair(top, top + stride, width, m, y_top, y_top + width, uv_plane + static_cast<size_t>(y / 2) * width);
  }
}

bool PictureRenderer::Render(const PictureJob& job) {
  const uint8_t* src = job.bgra;
  int stride = job.stride;
  int width = job.width;
  int height = job.height;
  if (job.turn != 0) {
    const bool sideways = job.turn == 90 || job.turn == 270;
    const int turned_width = sideways ? height : width;
    const int turned_height = sideways ? width : height;
    turned_.resize(static_cast<size_t>(turned_width) * turned_height * 4);
    if (libyuv::ARGBRotate(src, stride, turned_.data(), turned_width * 4, width, height,
                           static_cast<libyuv::RotationMode>(job.turn)) != 0) {
      return false;
    }
    src = turned_.data();
    stride = turned_width * 4;
    width = turned_width;
    height = turned_height;
  }
  if (job.mirror != Mirror::kNone) {
    mirrored_.resize(static_cast<size_t>(width) * height * 4);
    // libyuv reads a negative height as "upside down".
    const int result = job.mirror == Mirror::kHorizontal
                           ? libyuv::ARGBMirror(src, stride, mirrored_.data(), width * 4, width, height)
                           : libyuv::ARGBCopy(src, stride, mirrored_.data(), width * 4, width, -height);
    if (result != 0) return false;
    src = mirrored_.data();
    stride = width * 4;
  }
  if (width != job.dst_width || height != job.dst_height) {
    const FitRect fit = FitInside(width, height, job.dst_width, job.dst_height);
    const int canvas_stride = job.dst_width * 4;
    canvas_.assign(static_cast<size_t>(canvas_stride) * job.dst_height, 0);  // black border
    uint8_t* target = canvas_.data() + static_cast<size_t>(fit.y) * canvas_stride + static_cast<size_t>(fit.x) * 4;
    if (libyuv::ARGBScale(src, stride, width, height, target, canvas_stride, fit.width, fit.height,
                          libyuv::kFilterBox) != 0) {
      return false;
    }
    src = canvas_.data();
    stride = canvas_stride;
  }
  BgraToNv12(src, stride, job.dst_width, job.dst_height, job.matrix, job.nv12);
  return true;
}

}  // namespace VellRecorder::StandIns
