#include <dshow.h>
#include <uuids.h>

#include <optional>

#include "cameraactivate.h"
#include "utils/comptr.h"

namespace VellRecorder::StandIn {
namespace {

std::optional<std::wstring> ReadString(IPropertyBag* bag, const wchar_t* key) {
  VARIANT value;
  VariantInit(&value);
  std::optional<std::wstring> text;
  if (SUCCEEDED(bag->Read(key, &value, nullptr)) && value.vt == VT_BSTR && value.bstrVal) {
    text = std::wstring(value.bstrVal, SysStringLen(value.bstrVal));
  }
  VariantClear(&value);
  return text;
}

}  // namespace

std::vector<CameraDevice> DirectShowCameras() {
  std::vector<CameraDevice> devices;
  ComPtr<ICreateDevEnum> device_enum;
  ComPtr<IEnumMoniker> monikers;
  if (FAILED(CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                              reinterpret_cast<void**>(device_enum.ReleaseAndGetAddressOf()))) ||
      device_enum->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, monikers.ReleaseAndGetAddressOf(), 0) !=
          S_OK) {
    return devices;
  }
  for (ComPtr<IMoniker> moniker; monikers->Next(1, moniker.ReleaseAndGetAddressOf(), nullptr) == S_OK;) {
    ComPtr<IPropertyBag> bag;
    if (FAILED(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag,
                                      reinterpret_cast<void**>(bag.ReleaseAndGetAddressOf())))) {
      continue;
    }
    std::optional<std::wstring> name = ReadString(bag.Get(), L"FriendlyName");
    std::optional<std::wstring> path = ReadString(bag.Get(), L"DevicePath");
    if (name && path) devices.push_back({*name, *path});
  }
  return devices;
}

}  // namespace VellRecorder::StandIn
