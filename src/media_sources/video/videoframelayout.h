// Plane sizes of one captured frame on the software video path.
#pragma once

#include <cstdint>

namespace VellRecorder {

class VideoRecordingSettings;

struct VideoFrameLayout {
  VideoFrameLayout(uint32_t frame_width, uint32_t frame_height, uint8_t bytes_per_pixel);
  // From the capture size of the settings (Windows builds only).
  VideoFrameLayout(const VideoRecordingSettings& settings, uint8_t bytes_per_pixel);

  uint32_t width;
  uint32_t height;
  uint32_t lumaSize;         // width × height: the Y plane of a 4:2:0 picture
  uint32_t lumaPlusQuarter;  // start of the V plane of I420
  uint32_t planarSize;       // a whole 4:2:0 picture
  uint8_t bytesPerPixel;     // of the packed source picture
};

}  // namespace VellRecorder
