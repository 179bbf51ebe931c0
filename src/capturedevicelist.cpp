#include "capturedevicelist.h"

#include <cstdint>
#include <cstdlib>
#include <utility>

namespace VellRecorder {

namespace {

constexpr int64_t kHundredNsPerSecond = 10'000'000;
constexpr int64_t kMinFramesPerSecondExclusive = 15;

int32_t IntProperty(const CaptureDevice& device, const char* key) {
  const auto found = device.properties.find(key);
  if (found == device.properties.end()) return 0;
  const auto* value = std::get_if<int32_t>(&found->second);
  return value ? *value : 0;
}

}  // namespace

std::optional<Resolution> LargestResolution(const std::vector<VideoFormat>& formats) {
  std::optional<Resolution> largest;
  int64_t largest_pixels = -1;
  for (const VideoFormat& format : formats) {
    // A format without a frame time says nothing about its rate: it cannot be shown to be fast enough.
    if (format.avgTimePerFrame <= 0) continue;
    if (kHundredNsPerSecond / format.avgTimePerFrame <= kMinFramesPerSecondExclusive) continue;
    if (format.width <= 0 || format.height == 0 || format.height == INT32_MIN) continue;
    // Bottom-up bitmaps state a positive height, top-down ones a negative one: the size is the same.
    const Resolution size{format.width, static_cast<int32_t>(std::llabs(format.height))};
    const int64_t pixels = static_cast<int64_t>(size.width) * size.height;
    if (pixels > largest_pixels) {
      largest = size;
      largest_pixels = pixels;
    }
  }
  return largest;
}

CaptureDevice MakeCamera(std::wstring name, const std::optional<Resolution>& largest) {
  CaptureDevice camera{std::move(name), kVideoCaptureDevice, {}};
  if (largest) {
    camera.properties["width"] = largest->width;
    camera.properties["height"] = largest->height;
  }
  return camera;
}

Resolution CaptureDeviceList::GetResolution(const std::wstring& name) const {
  for (const CaptureDevice& device : devices_) {
    if (device.kind != kVideoCaptureDevice || device.name != name) continue;
    return {IntProperty(device, "width"), IntProperty(device, "height")};
  }
  return {};
}

}  // namespace VellRecorder
