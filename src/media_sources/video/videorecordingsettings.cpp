#include "media_sources/video/videorecordingsettings.h"

#include <utility>

#include "exception.h"
#include "media_sources/video/displays.h"
#include "media_sources/video/rectconv.h"
#include "utils/textconv.h"

namespace VellRecorder {

VideoRecordingSettings::VideoRecordingSettings(std::wstring display_name, RECT crop_rect, SIZE output_size)
    : display_name_(std::move(display_name)) {
  Displays displays;
  Locate(displays, crop_rect, output_size);
}

VideoRecordingSettings::VideoRecordingSettings(Displays& displays, std::wstring display_name, RECT crop_rect,
                                               SIZE output_size)
    : display_name_(std::move(display_name)) {
  Locate(displays, crop_rect, output_size);
}

void VideoRecordingSettings::Locate(Displays& displays, RECT crop_rect, SIZE output_size) {
  // The desktop rectangle, turned with the monitor: the one GDI copies from.
  std::optional<RECT> bounds = displays.FindMonitorBounds(display_name_);
  if (!bounds) VELL_THROW("display not found: " + ToUtf8(display_name_));
  const std::optional<CaptureArea> area =
      ComputeCaptureArea(ToDisplayRect(*bounds), ToDisplayRect(crop_rect), ToDisplaySize(output_size));
  if (!area) VELL_THROW("the crop lies outside display " + ToUtf8(display_name_));
  // Before any source, buffer or encoder is made for a size that cannot be recorded.
  const std::string refusal = CaptureAreaRefusal(*area);
  if (!refusal.empty()) VELL_THROW("cannot record " + refusal);
  capture_rect_ = ToRect(area->captureRect);
  output_size_ = ToSize(area->outputSize);
}

int VideoRecordingSettings::Rotation() const { return GetRotation(display_name_); }

VideoFrameLayout VideoRecordingSettings::CaptureLayout(uint8_t bytes_per_pixel) const {
  return VideoFrameLayout(static_cast<uint32_t>(CaptureWidth()), static_cast<uint32_t>(CaptureHeight()),
                          bytes_per_pixel);
}

}  // namespace VellRecorder
