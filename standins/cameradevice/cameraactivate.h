// The cameras that the device-source enumeration hands out: activation objects carrying a device's attributes
// (friendly name, symbolic link), whose media source is a clip played as a camera.
#pragma once

#include <windows.h>
#include <mfidl.h>

#include <string>
#include <vector>

namespace VellRecorder::StandIn {

struct CameraDevice {
  std::wstring friendly_name;
  std::wstring symbolic_link;
};

// The video input devices DirectShow lists, with their "FriendlyName" and "DevicePath": the names a real
// camera has in both enumerations.
std::vector<CameraDevice> DirectShowCameras();

// One activation object per device, in a CoTaskMemAlloc'ed array as MFEnumDeviceSources returns it. Each one's
// source plays `clip` (a file the source resolver opens).
HRESULT CreateCameraActivates(const std::vector<CameraDevice>& devices, const std::wstring& clip,
                              IMFActivate*** activates, UINT32* count);

}  // namespace VellRecorder::StandIn
