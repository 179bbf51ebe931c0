#include "sessions/cameraformat.h"

namespace VellRecorder {

uint32_t WholeFrameRate(const CameraFormat& format) {
  if (format.rate_denominator == 0) return 0;
  return format.rate_numerator / format.rate_denominator;
}

std::optional<size_t> ChooseCameraFormat(const std::vector<CameraFormat>& formats, uint32_t max_width) {
  std::optional<size_t> first_accepted;
  std::optional<size_t> best;
  uint32_t best_width = 0;
  uint32_t best_height = 0;
  uint32_t best_rate = 0;
  for (size_t i = 0; i < formats.size(); ++i) {
    const CameraFormat& format = formats[i];
    if (format.subtype == CameraSubtype::kOther) continue;
    if (!first_accepted) first_accepted = i;
    const uint32_t rate = WholeFrameRate(format);
    if (best && format.width == best_width && format.height == best_height) {
      if (rate > best_rate) {
        best = i;
        best_rate = rate;
      }
    } else if (format.width > best_width && format.width <= max_width) {
      best = i;
      best_width = format.width;
      best_height = format.height;
      best_rate = rate;
    }
  }
  return best ? best : first_accepted;
}

}  // namespace VellRecorder
