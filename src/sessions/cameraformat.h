// The choice among a camera's native formats, kept apart from Media Foundation so that it builds and is tested
// natively. The session reads each format's subtype, size and rate into a CameraFormat and records the chosen
// one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace VellRecorder {

enum class CameraSubtype { kMjpg, kYuy2, kOther };

struct CameraFormat {
  CameraSubtype subtype = CameraSubtype::kOther;
  uint32_t width = 0;
  uint32_t height = 0;
  // 0/0 when the camera states no rate.
  uint32_t rate_numerator = 0;
  uint32_t rate_denominator = 0;
};

// Whole frames per second, truncated (30000/1001 is 29); 0 when the rate is missing or has a zero denominator.
uint32_t WholeFrameRate(const CameraFormat& format);

// The widest MJPEG or YUY2 format no wider than `max_width`, and among formats of exactly that size the
// fastest; ties keep the earlier format. A format as wide as the best but of another height is passed over.
// When no accepted format fits the width, the first accepted one. Empty when the camera offers neither
// MJPEG nor YUY2.
std::optional<size_t> ChooseCameraFormat(const std::vector<CameraFormat>& formats, uint32_t max_width);

}  // namespace VellRecorder
