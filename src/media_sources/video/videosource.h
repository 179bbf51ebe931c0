// The screen-source interface: a source captures the settings' capture rectangle, cursor included.
#pragma once

#include <windows.h>

#include <cstdint>

#include "media_sources/video/videorecordingsettings.h"

namespace VellRecorder {

class VideoSource {
 public:
  explicit VideoSource(VideoRecordingSettings settings);
  virtual ~VideoSource();
  VideoSource(const VideoSource&) = delete;
  VideoSource& operator=(const VideoSource&) = delete;

  // Captures into the source's Direct3D frame (the GPU path). A source that has no frame to capture into
  // answers E_NOTIMPL.
  virtual HRESULT CaptureToD3DFrame() { return E_NOTIMPL; }
  // Fills the buffer *destination points to with capture height rows of capture width pixels of
  // GetBytesPerPixel() bytes each, top row first. The buffer stays untouched when the capture fails.
  virtual HRESULT CaptureToSystemMemory(uint8_t** destination) = 0;
  // 32-bit BGRA.
  virtual uint32_t GetBytesPerPixel() const { return 4; }

  const VideoRecordingSettings& Settings() const { return settings_; }

 protected:
  const VideoRecordingSettings settings_;
};

}  // namespace VellRecorder
