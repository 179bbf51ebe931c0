// vell-camera.dll: loaded by a test launcher into an unmodified program before its main. It points the program's
// import of MFEnumDeviceSources at a function that answers video capture requests with the video input devices
// DirectShow lists (the capture-filter stand-ins), each one activated as the clip named by the environment
// variable VELL_CAMERA_CLIP; other requests (audio devices) go to the system's function. Wine's Media Foundation
// lists no camera and cannot create a device source, so nothing of the system's is asked for a camera.
#include <windows.h>
#include <mfapi.h>
#include <mfidl.h>

#include <string>

#include "cameraactivate.h"
#include "camerafaults.h"
#include "importredirect.h"
#include "injection.h"

namespace {

using namespace VellRecorder::StandIn;

void Say(const std::string& text) { VellRecorder::StandIn::Say("vell-camera", text); }

bool AsksForCameras(IMFAttributes* attributes) {
  GUID type = GUID_NULL;
  return attributes && SUCCEEDED(attributes->GetGUID(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE, &type)) &&
         type == MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_GUID;
}

HRESULT WINAPI EnumDeviceSourcesHook(IMFAttributes* attributes, IMFActivate*** sources, UINT32* count) {
  if (!AsksForCameras(attributes)) return MFEnumDeviceSources(attributes, sources, count);
  if (!sources || !count) return E_POINTER;
  // A lost camera is not listed, as an unplugged one is not.
  const std::vector<CameraDevice> cameras = CamerasGone() ? std::vector<CameraDevice>{} : DirectShowCameras();
  const HRESULT hr = CreateCameraActivates(cameras, EnvironmentWide(L"VELL_CAMERA_CLIP"), sources, count);
  Say("listed " + std::to_string(SUCCEEDED(hr) ? *count : 0) + " cameras");
  return hr;
}

void Arm() {
  const bool redirected = RedirectImport(GetModuleHandleW(nullptr), "mf.dll", "MFEnumDeviceSources",
                                         reinterpret_cast<void*>(&EnumDeviceSourcesHook));
  const std::string clip = EnvironmentText("VELL_CAMERA_CLIP");
  Say(std::string(redirected ? "cameras armed" : "the program does not import MFEnumDeviceSources") +
      (clip.empty() ? ", no VELL_CAMERA_CLIP: cameras cannot be opened" : ", clip " + clip));
}

}  // namespace

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  return VellRecorder::StandIn::ArmOnLoad(instance, reason, &Arm);
}
