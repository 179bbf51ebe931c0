// The in-process COM server of the stand-in cameras: registration as COM classes and as
// video input devices (the filter mapper's instance entry, plus the "DevicePath" a real camera carries, and a
// "Description" where the profile has one).
#include <windows.h>
#include <dshow.h>
#include <uuids.h>

#include <new>
#include <string>

#include "capturefilter.h"
#include "comserver/comserver.h"

namespace {

HRESULT WriteText(IPropertyBag* bag, const wchar_t* key, const wchar_t* text) {
  VARIANT value;
  VariantInit(&value);
  value.vt = VT_BSTR;
  value.bstrVal = SysAllocString(text);
  const HRESULT hr = value.bstrVal ? bag->Write(key, &value) : E_OUTOFMEMORY;
  VariantClear(&value);
  return hr;
}

// The device entry: FriendlyName and CLSID come from the mapper, DevicePath is written through its moniker.
HRESULT RegisterDevice(IFilterMapper2* mapper, const VellStandin::CameraProfile& profile) {
  const REGPINTYPES types[] = {{&MEDIATYPE_Video, &MEDIASUBTYPE_YUY2}, {&MEDIATYPE_Video, &MEDIASUBTYPE_MJPG}};
  REGFILTERPINS2 pin = {};
  pin.dwFlags = REG_PINFLAG_B_OUTPUT;
  pin.cInstances = 1;
  pin.nMediaTypes = 2;
  pin.lpMediaType = types;
  pin.clsPinCategory = &PIN_CATEGORY_CAPTURE;
  REGFILTER2 filter = {};
  filter.dwVersion = 2;
  filter.dwMerit = MERIT_DO_NOT_USE;
  filter.cPins2 = 1;
  filter.rgPins2 = &pin;
  IMoniker* moniker = nullptr;
  HRESULT hr = mapper->RegisterFilter(*profile.clsid, profile.friendlyName, &moniker,
                                      &CLSID_VideoInputDeviceCategory, profile.instanceKey, &filter);
  if (FAILED(hr)) return hr;
  if (!moniker) return E_UNEXPECTED;
  IPropertyBag* bag = nullptr;
  hr = moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, reinterpret_cast<void**>(&bag));
  if (SUCCEEDED(hr)) {
    hr = WriteText(bag, L"DevicePath", profile.devicePath);
    if (SUCCEEDED(hr) && profile.description) hr = WriteText(bag, L"Description", profile.description);
    bag->Release();
  }
  moniker->Release();
  return hr;
}

template <typename Work>
HRESULT WithMapper(Work work) {
  const HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  IFilterMapper2* mapper = nullptr;
  HRESULT hr = CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                                reinterpret_cast<void**>(&mapper));
  if (SUCCEEDED(hr)) {
    hr = work(mapper);
    mapper->Release();
  }
  if (SUCCEEDED(init)) CoUninitialize();
  return hr;
}

}  // namespace

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** object) {
  for (const VellStandin::CameraProfile& profile : VellStandin::CameraProfiles()) {
    if (clsid != *profile.clsid) continue;
    const VellStandin::CameraProfile* camera = &profile;
    return VellStandin::GetClassFactory(
        [camera](REFIID iid, void** created) { return VellStandin::CaptureFilter::Create(*camera, iid, created); },
        riid, object);
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

// Filters keep no count of the objects they serve: the server stays loaded until the process ends.
STDAPI DllCanUnloadNow() { return S_FALSE; }

STDAPI DllRegisterServer() {
  return WithMapper([](IFilterMapper2* mapper) {
    for (const VellStandin::CameraProfile& profile : VellStandin::CameraProfiles()) {
      HRESULT hr = VellStandin::RegisterInprocClass(*profile.clsid, profile.friendlyName);
      if (SUCCEEDED(hr)) hr = RegisterDevice(mapper, profile);
      if (FAILED(hr)) return hr;
    }
    return S_OK;
  });
}

STDAPI DllUnregisterServer() {
  return WithMapper([](IFilterMapper2* mapper) {
    for (const VellStandin::CameraProfile& profile : VellStandin::CameraProfiles()) {
      mapper->UnregisterFilter(&CLSID_VideoInputDeviceCategory, profile.instanceKey, *profile.clsid);
      VellStandin::UnregisterInprocClass(*profile.clsid);
    }
    return S_OK;
  });
}
