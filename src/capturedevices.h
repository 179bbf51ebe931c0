// The cameras and audio capture devices of the machine, as the DirectShow system device enumerator lists
// them, with each camera's largest capture resolution. Loaded once when the control channel's loop starts.
#pragma once

#include <windows.h>
#include <strmif.h>
#include <uuids.h>

#include <string>
#include <utility>
#include <vector>

#include "capturedevicelist.h"

namespace VellRecorder {

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
  // Null in *enumerator (and S_OK) when the category lists nothing.
  HRESULT EnumerateDevices(REFGUID category, IEnumMoniker** enumerator);
  HRESULT DisplayDeviceInformation(IEnumMoniker* enumerator);
  void AddDevice(IMoniker* moniker, IBindCtx* bind_context);

  const std::vector<GUID> categories_;
  CaptureDeviceList list_;  // control thread only, like the channel that owns this
};

}  // namespace VellRecorder
