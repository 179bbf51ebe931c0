// What a screen recording captures: the display, the capture rectangle in desktop coordinates and the size of
// the encoded picture. A value type, copied into every session and source; fixed after construction.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "media_transforms/videoframelayout.h"

namespace VellRecorder {

class Displays;

class VideoRecordingSettings {
 public:
  // `crop_rect` is relative to the display's top-left corner, in physical pixels; an empty one means the whole
  // display at `output_size`. An empty `display_name` means the primary display. Throws Exception with
  // "display not found: <name>" when no such display exists, and when the crop lies wholly off the display
  // or the capture or output size cannot be recorded (CaptureAreaRefusal).
  VideoRecordingSettings(std::wstring display_name, RECT crop_rect, SIZE output_size);
  // The same with the display looked up in `displays` instead of the system's current list.
  VideoRecordingSettings(Displays& displays, std::wstring display_name, RECT crop_rect, SIZE output_size);

  RECT CaptureRect() const { return capture_rect_; }
  LONG CaptureWidth() const { return capture_rect_.right - capture_rect_.left; }
  LONG CaptureHeight() const { return capture_rect_.bottom - capture_rect_.top; }
  SIZE CaptureSize() const { return SIZE{CaptureWidth(), CaptureHeight()}; }
  // The planes of one captured frame of `bytes_per_pixel` at the capture size.
  VideoFrameLayout CaptureLayout(uint8_t bytes_per_pixel) const;
  // Both dimensions even.
  SIZE OutputSize() const { return output_size_; }
  std::wstring DisplayName() const { return display_name_; }
  // The display's current rotation in degrees (0, 90, 180, 270), read from the system at each call.
  int Rotation() const;

 private:
  void Locate(Displays& displays, RECT crop_rect, SIZE output_size);

  std::wstring display_name_;
  RECT capture_rect_{};
  SIZE output_size_{};
};

}  // namespace VellRecorder
