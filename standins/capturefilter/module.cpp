// The in-process COM server of the stand-in cameras: class factory, and registration as COM classes and as
// video input devices (the filter mapper's instance entry, plus the "DevicePath" a real camera carries).
#include <windows.h>
#include <dshow.h>
#include <uuids.h>

#include <new>
#include <string>

#include "capturefilter.h"

namespace {

HMODULE g_module = nullptr;

class ClassFactory : public IClassFactory {
 public:
  explicit ClassFactory(const VellStandin::CameraProfile& profile) : profile_(profile) {}
  virtual ~ClassFactory() = default;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    if (riid != IID_IUnknown && riid != IID_IClassFactory) {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    *object = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs_); }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG refs = InterlockedDecrement(&refs_);
    if (refs == 0) delete this;
    return refs;
  }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    return VellStandin::CaptureFilter::Create(profile_, riid, object);
  }
  // The server stays loaded until the process ends (DllCanUnloadNow): nothing to lock.
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

 private:
  LONG refs_ = 1;
  const VellStandin::CameraProfile& profile_;
};

std::wstring ClsidString(const CLSID& clsid) {
  wchar_t text[40] = {};
  StringFromGUID2(clsid, text, 40);
  return text;
}

DWORD Bytes(const std::wstring& text) { return static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)); }

HRESULT RegisterComClass(const VellStandin::CameraProfile& profile, const std::wstring& module_path) {
  const std::wstring key = L"Software\\Classes\\CLSID\\" + ClsidString(*profile.clsid);
  const std::wstring server = key + L"\\InprocServer32";
  const std::wstring name = profile.friendlyName;
  const std::wstring threading = L"Both";
  LSTATUS status = RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), nullptr, REG_SZ, name.c_str(), Bytes(name));
  if (status == ERROR_SUCCESS) {
    status = RegSetKeyValueW(HKEY_LOCAL_MACHINE, server.c_str(), nullptr, REG_SZ, module_path.c_str(),
                             Bytes(module_path));
  }
  if (status == ERROR_SUCCESS) {
    status = RegSetKeyValueW(HKEY_LOCAL_MACHINE, server.c_str(), L"ThreadingModel", REG_SZ, threading.c_str(),
                             Bytes(threading));
  }
  return HRESULT_FROM_WIN32(status);
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
    VARIANT path;
    VariantInit(&path);
    path.vt = VT_BSTR;
    path.bstrVal = SysAllocString(profile.devicePath);
    hr = path.bstrVal ? bag->Write(L"DevicePath", &path) : E_OUTOFMEMORY;
    VariantClear(&path);
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

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_module = instance;
    DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  for (const VellStandin::CameraProfile& profile : VellStandin::CameraProfiles()) {
    if (clsid != *profile.clsid) continue;
    auto* factory = new (std::nothrow) ClassFactory(profile);
    if (!factory) return E_OUTOFMEMORY;
    const HRESULT hr = factory->QueryInterface(riid, object);
    factory->Release();
    return hr;
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

// Filters keep no count of the objects they serve: the server stays loaded until the process ends.
STDAPI DllCanUnloadNow() { return S_FALSE; }

STDAPI DllRegisterServer() {
  wchar_t path[MAX_PATH] = {};
  if (GetModuleFileNameW(g_module, path, MAX_PATH) == 0) return HRESULT_FROM_WIN32(GetLastError());
  return WithMapper([&](IFilterMapper2* mapper) {
    for (const VellStandin::CameraProfile& profile : VellStandin::CameraProfiles()) {
      HRESULT hr = RegisterComClass(profile, path);
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
      const std::wstring key = L"Software\\Classes\\CLSID\\" + ClsidString(*profile.clsid);
      RegDeleteTreeW(HKEY_LOCAL_MACHINE, key.c_str());
    }
    return S_OK;
  });
}
