// The cameras and audio capture devices of the machine, as the DirectShow system device enumerator lists
// them, with each camera's largest capture resolution. Loaded once when the control channel's loop starts.
#pragma once

#include <windows.h>
#include <strmif.h>
#include <uuids.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "capturedevicelist.h"

namespace VellRecorder {

// The "DevicePath" of the camera listed under `name` (the name the list gives it: its "Description", else its
// "FriendlyName"), if DirectShow lists one. COM must be initialised on the calling thread.
std::optional<std::wstring> CameraDevicePath(const std::wstring& name);

class CaptureDevices {
 public:
  // The device categories listed, in this order: cameras, then audio inputs.
  explicit CaptureDevices(std::vector<GUID> categories = {CLSID_VideoInputDeviceCategory,
                                                          CLSID_AudioInputDeviceCategory})
      : categories_(std::move(categories)) {}

  // Appends the devices of each category in turn; an empty category is skipped. A failure is traced and
  // returned; the devices listed before it stay. COM must be initialised on the calling thread.
  HRESULT LoadDevices();
  Resolution GetResolution(const std::wstring& name) const { return list_.GetResolution(name); }
  const std::vector<CaptureDevice>& Devices() const { return list_.Devices(); }

 private:
  HRESULT DisplayDeviceInformation(IEnumMoniker* enumerator);
  void AddDevice(IMoniker* moniker, IBindCtx* bind_context);

  const std::vector<GUID> categories_;
  CaptureDeviceList list_;  // control thread only, like the channel that owns this
};

}  // namespace VellRecorder
