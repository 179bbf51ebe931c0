#include "media_transforms/openh264/libyuvresizer.h"

#include <libyuv.h>

#include "utils/log.h"

namespace VellRecorder::Libyuv {

bool Resizer::Process(const uint8_t* src_y, const uint8_t* src_u, const uint8_t* src_v, int32_t src_width,
                      int32_t src_height, uint8_t* dst_y, uint8_t* dst_u, uint8_t* dst_v, int32_t dst_width,
                      int32_t dst_height) {
  const int result = libyuv::I420Scale(src_y, src_width, src_u, src_width / 2, src_v, src_width / 2, src_width,
                                       src_height, dst_y, dst_width, dst_u, dst_width / 2, dst_v, dst_width / 2,
                                       dst_width, dst_height, libyuv::kFilterBox);
  if (result != 0) {
    LOG_ERROR << "failed to rescale: " << result;
    return false;
  }
  return true;
}

}  // namespace VellRecorder::Libyuv
