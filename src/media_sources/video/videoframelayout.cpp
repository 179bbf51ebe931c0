#include "media_sources/video/videoframelayout.h"

namespace VellRecorder {

VideoFrameLayout::VideoFrameLayout(uint32_t frame_width, uint32_t frame_height, uint8_t bytes_per_pixel)
    : width(frame_width),
      height(frame_height),
      lumaSize(frame_width * frame_height),
      lumaPlusQuarter(lumaSize + lumaSize / 4),
      planarSize(lumaSize * 3 / 2),
      bytesPerPixel(bytes_per_pixel) {}

}  // namespace VellRecorder
