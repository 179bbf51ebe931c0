// The in-process COM server of the stand-in cameras: registration as COM classes and as
// video input devices (the filter mapper's instance entry, plus the "DevicePath" a real camera carries, and a
// "Description" where the profile has one).
#include <windows.h>
#include <dshow.h>
#include <uuids.h>

#include "capturefilter.h"
#include "comserver/comserver.h"
#include "utils/comptr.h"

namespace VellStandin {
namespace {

using VellRecorder::ComPtr;

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
HRESULT RegisterDevice(IFilterMapper2* mapper, const CameraProfile& profile) {
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
  ComPtr<IMoniker> moniker;
  HRESULT hr = mapper->RegisterFilter(*profile.clsid, profile.friendlyName, moniker.ReleaseAndGetAddressOf(),
                                      &CLSID_VideoInputDeviceCategory, profile.instanceKey, &filter);
  if (FAILED(hr)) return hr;
  if (!moniker) return E_UNEXPECTED;
  ComPtr<IPropertyBag> bag;
  hr = moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, reinterpret_cast<void**>(bag.ReleaseAndGetAddressOf()));
  if (FAILED(hr)) return hr;
  hr = WriteText(bag.Get(), L"DevicePath", profile.devicePath);
  if (SUCCEEDED(hr) && profile.description) hr = WriteText(bag.Get(), L"Description", profile.description);
  return hr;
}

template <typename Work>
HRESULT WithMapper(Work work) {
  const HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  HRESULT hr;
  {
    ComPtr<IFilterMapper2> mapper;
    hr = CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                          reinterpret_cast<void**>(mapper.ReleaseAndGetAddressOf()));
    if (SUCCEEDED(hr)) hr = work(mapper.Get());
  }
  if (SUCCEEDED(init)) CoUninitialize();
  return hr;
}

ServedClass CameraClass(const CameraProfile& profile) {
  const CameraProfile* camera = &profile;  // an entry of CameraProfiles(), which lives as long as the process
  return {*camera->clsid, camera->friendlyName,
          [camera](REFIID riid, void** object) { return CaptureFilter::Create(*camera, riid, object); },
          [camera] { return WithMapper([camera](IFilterMapper2* mapper) { return RegisterDevice(mapper, *camera); }); },
          [camera] {
            WithMapper([camera](IFilterMapper2* mapper) {
              return mapper->UnregisterFilter(&CLSID_VideoInputDeviceCategory, camera->instanceKey, *camera->clsid);
            });
          }};
}

}  // namespace

const std::vector<ServedClass>& ServedClasses() {
  static const std::vector<ServedClass> classes = [] {
    std::vector<ServedClass> cameras;
    for (const CameraProfile& profile : CameraProfiles()) cameras.push_back(CameraClass(profile));
    return cameras;
  }();
  return classes;
}

}  // namespace VellStandin
