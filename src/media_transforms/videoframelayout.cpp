#include "media_transforms/videoframelayout.h"

#include "media_transforms/openh264/i420layout.h"

namespace VellRecorder {

// Capture sizes are bounded far below 2^32 bytes per frame (CheckCaptureArea), so the sizes fit.
VideoFrameLayout::VideoFrameLayout(uint32_t frame_width, uint32_t frame_height, uint8_t bytes_per_pixel)
    : width(frame_width),
      height(frame_height),
      lumaSize(static_cast<uint32_t>(Libyuv::I420LumaSize(frame_width, frame_height))),
      chromaStride(Libyuv::I420ChromaWidth(frame_width)),
      vOffset(static_cast<uint32_t>(lumaSize + Libyuv::I420ChromaSize(frame_width, frame_height))),
      planarSize(static_cast<uint32_t>(Libyuv::I420PlanarSize(frame_width, frame_height))),
      bytesPerPixel(bytes_per_pixel) {}

}  // namespace VellRecorder
