// The in-process COM server around the stand-in colour converter: class factory, unload check, and registration
// as a COM class and as a video effect transform (YUY2 in, NV12 out) for MFTEnumEx.
#include <windows.h>
#include <mfapi.h>

#include <new>
#include <string>

#include "converter.h"

namespace {

HMODULE g_module = nullptr;
const wchar_t kName[] = L"Vell Stand-in Colour Converter";

class ClassFactory : public IClassFactory {
 public:
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
    if (outer) return CLASS_E_NOAGGREGATION;
    return VellStandin::ColorConverter::Create(riid, object);
  }
  // The server is never unloaded before the process ends (DllCanUnloadNow), so there is nothing to lock.
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

 private:
  LONG refs_ = 1;
};

std::wstring ClassKey() {
  wchar_t text[40] = {};
  StringFromGUID2(VellStandin::kColorConverterClsid, text, 40);
  return std::wstring(L"Software\\Classes\\CLSID\\") + text;
}

LSTATUS SetText(const std::wstring& key, const wchar_t* value_name, const std::wstring& text) {
  return RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), value_name, REG_SZ, text.c_str(),
                         static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
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
  if (clsid != VellStandin::kColorConverterClsid) return CLASS_E_CLASSNOTAVAILABLE;
  auto* factory = new (std::nothrow) ClassFactory();
  if (!factory) return E_OUTOFMEMORY;
  const HRESULT hr = factory->QueryInterface(riid, object);
  factory->Release();
  return hr;
}

// The converter keeps no count of the objects it serves: the server stays loaded until the process ends.
STDAPI DllCanUnloadNow() { return S_FALSE; }

STDAPI DllRegisterServer() {
  wchar_t path[MAX_PATH] = {};
  if (GetModuleFileNameW(g_module, path, MAX_PATH) == 0) return HRESULT_FROM_WIN32(GetLastError());
  const std::wstring key = ClassKey();
  LSTATUS status = SetText(key, nullptr, kName);
  if (status == ERROR_SUCCESS) status = SetText(key + L"\\InprocServer32", nullptr, path);
  if (status == ERROR_SUCCESS) status = SetText(key + L"\\InprocServer32", L"ThreadingModel", L"Both");
  if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
  MFT_REGISTER_TYPE_INFO input = {MFMediaType_Video, MFVideoFormat_YUY2};
  MFT_REGISTER_TYPE_INFO output = {MFMediaType_Video, MFVideoFormat_NV12};
  return MFTRegister(VellStandin::kColorConverterClsid, MFT_CATEGORY_VIDEO_EFFECT, const_cast<LPWSTR>(kName), 0, 1,
                     &input, 1, &output, nullptr);
}

STDAPI DllUnregisterServer() {
  MFTUnregister(VellStandin::kColorConverterClsid);
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, ClassKey().c_str());
  return S_OK;
}
