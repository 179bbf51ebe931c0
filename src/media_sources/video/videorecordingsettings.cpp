#include "media_sources/video/videorecordingsettings.h"

#include <utility>

#include "exception.h"
#include "media_sources/video/displays.h"
#include "media_sources/video/rectconv.h"
#include "media_sources/video/videoframelayout.h"
#include "utils/textconv.h"

namespace VellRecorder {

VideoRecordingSettings::VideoRecordingSettings(std::wstring display_name, RECT crop_rect, SIZE output_size)
    : display_name_(std::move(display_name)) {
  std::optional<RECT> bounds = Displays().FindMonitorBounds(display_name_);
  if (!bounds) VELL_THROW("display not found: " + ToUtf8(display_name_));
  const CaptureArea area =
      ComputeCaptureArea(ToDisplayRect(*bounds), ToDisplayRect(crop_rect), ToDisplaySize(output_size));
  capture_rect_ = ToRect(area.captureRect);
  output_size_ = ToSize(area.outputSize);
}

int VideoRecordingSettings::Rotation() const { return GetRotation(display_name_); }

VideoFrameLayout::VideoFrameLayout(const VideoRecordingSettings& settings, uint8_t bytes_per_pixel)
    : VideoFrameLayout(static_cast<uint32_t>(settings.CaptureWidth()), static_cast<uint32_t>(settings.CaptureHeight()),
                       bytes_per_pixel) {}

}  // namespace VellRecorder
