#include "media_transforms/openh264/libyuvresizer.h"

#include <libyuv.h>

#include "media_transforms/openh264/i420layout.h"
#include "utils/log.h"

namespace VellRecorder::Libyuv {

bool Resizer::Process(const uint8_t* src_y, const uint8_t* src_u, const uint8_t* src_v, int32_t src_width,
                      int32_t src_height, uint8_t* dst_y, uint8_t* dst_u, uint8_t* dst_v, int32_t dst_width,
                      int32_t dst_height) {
  // Sizes libyuv cannot take (zero or negative) are left for it to refuse.
  const int src_chroma = static_cast<int>((int64_t{src_width} + 1) / 2);
  const int dst_chroma = static_cast<int>((int64_t{dst_width} + 1) / 2);
  const int result = libyuv::I420Scale(src_y, src_width, src_u, src_chroma, src_v, src_chroma, src_width,
                                       src_height, dst_y, dst_width, dst_u, dst_chroma, dst_v, dst_chroma,
                                       dst_width, dst_height, libyuv::kFilterBox);
  if (result != 0) {
    LOG_ERROR << "failed to rescale: " << result;
    return false;
  }
  return true;
}

bool Resizer::ScaleFrame(const uint8_t* src, uint32_t src_width, uint32_t src_height, uint8_t* dst,
                         uint32_t dst_width, uint32_t dst_height) {
  const I420Planes<const uint8_t> from = I420PlanesOf(src, src_width, src_height);
  const I420Planes<uint8_t> to = I420PlanesOf(dst, dst_width, dst_height);
  return Process(from.y, from.u, from.v, static_cast<int32_t>(src_width), static_cast<int32_t>(src_height), to.y,
                 to.u, to.v, static_cast<int32_t>(dst_width), static_cast<int32_t>(dst_height));
}

}  // namespace VellRecorder::Libyuv
