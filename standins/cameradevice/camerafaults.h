// A camera lost while it records, and back later, from the environment variable VELL_CAMERA_FAULTS
// (comma-separated):
//   lose-after-ms=M     M ms after the first camera source was opened, it fails as an unplugged camera does:
//                       MEError (MF_E_VIDEO_RECORDING_DEVICE_INVALIDATED) from the source, which is shut down.
//                       Once per process.
//   return-after-ms=R   R ms after the loss the cameras are listed and open again; without it they stay gone.
#pragma once

#include <windows.h>
#include <mfidl.h>

#include <string>

namespace VellRecorder::StandIn {

struct CameraFaults {
  DWORD lose_after_ms = 0;  // 0: never lost
  bool returns = false;
  DWORD return_after_ms = 0;
};

// False (and no faults) when `text` has anything else.
bool ParseCameraFaults(const std::wstring& text, CameraFaults* faults);

// A source just opened: the first one is lost as the faults say.
void WatchCameraSource(IMFMediaSource* source);
// While lost, no camera is listed or opened.
bool CamerasGone();

}  // namespace VellRecorder::StandIn
