// The in-process COM server around the stand-in encoders: class factory, unload check, and registration of
// both classes as COM classes and as video encoder transforms (NV12 in, H.264 out) for MFTEnumEx. The
// asynchronous class registers as hardware, as hardware encoders do.
#include <windows.h>
#include <mfapi.h>
#include <mferror.h>

#include <string>

#include "encodertransform.h"

namespace {

HMODULE g_module = nullptr;

struct EncoderClass {
  const CLSID* clsid;
  VellStandin::Mode mode;
  const wchar_t* name;
  UINT32 enum_flags;
};

const EncoderClass kClasses[] = {
    {&VellStandin::kAsyncEncoderClsid, VellStandin::Mode::kAsync, L"Vell Stand-in H.264 Encoder (asynchronous)",
     MFT_ENUM_FLAG_HARDWARE | MFT_ENUM_FLAG_ASYNCMFT},
    {&VellStandin::kSyncEncoderClsid, VellStandin::Mode::kSync, L"Vell Stand-in H.264 Encoder (synchronous)",
     MFT_ENUM_FLAG_SYNCMFT},
};

class ClassFactory : public IClassFactory {
 public:
  explicit ClassFactory(VellStandin::Mode mode) : mode_(mode) {}
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
    return VellStandin::EncoderTransform::Create(mode_, riid, object);
  }
  // The server is never unloaded before the process ends (DllCanUnloadNow), so there is nothing to lock.
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

 private:
  LONG refs_ = 1;
  const VellStandin::Mode mode_;
};

std::wstring ClsidString(const CLSID& clsid) {
  wchar_t text[40] = {};
  StringFromGUID2(clsid, text, 40);
  return text;
}

HRESULT RegisterComClass(const EncoderClass& entry, const std::wstring& module_path) {
  const std::wstring key = L"Software\\Classes\\CLSID\\" + ClsidString(*entry.clsid);
  const std::wstring server = key + L"\\InprocServer32";
  const auto bytes = [](const std::wstring& text) { return static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)); };
  const std::wstring threading = L"Both";
  LSTATUS status = RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), nullptr, REG_SZ, entry.name,
                                   bytes(entry.name));
  if (status == ERROR_SUCCESS) {
    status = RegSetKeyValueW(HKEY_LOCAL_MACHINE, server.c_str(), nullptr, REG_SZ, module_path.c_str(),
                             bytes(module_path));
  }
  if (status == ERROR_SUCCESS) {
    status = RegSetKeyValueW(HKEY_LOCAL_MACHINE, server.c_str(), L"ThreadingModel", REG_SZ, threading.c_str(),
                             bytes(threading));
  }
  return HRESULT_FROM_WIN32(status);
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
  for (const EncoderClass& entry : kClasses) {
    if (clsid != *entry.clsid) continue;
    auto* factory = new (std::nothrow) ClassFactory(entry.mode);
    if (!factory) return E_OUTOFMEMORY;
    const HRESULT hr = factory->QueryInterface(riid, object);
    factory->Release();
    return hr;
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

// Transforms keep no count of the objects they serve: the server stays loaded until the process ends,
// which is all a test process needs.
STDAPI DllCanUnloadNow() { return S_FALSE; }

STDAPI DllRegisterServer() {
  wchar_t path[MAX_PATH] = {};
  if (GetModuleFileNameW(g_module, path, MAX_PATH) == 0) return HRESULT_FROM_WIN32(GetLastError());
  MFT_REGISTER_TYPE_INFO input = {MFMediaType_Video, MFVideoFormat_NV12};
  MFT_REGISTER_TYPE_INFO output = {MFMediaType_Video, MFVideoFormat_H264};
  for (const EncoderClass& entry : kClasses) {
    HRESULT hr = RegisterComClass(entry, path);
    if (SUCCEEDED(hr)) {
      hr = MFTRegister(*entry.clsid, MFT_CATEGORY_VIDEO_ENCODER, const_cast<LPWSTR>(entry.name), entry.enum_flags,
                       1, &input, 1, &output, nullptr);
    }
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

STDAPI DllUnregisterServer() {
  for (const EncoderClass& entry : kClasses) {
    MFTUnregister(*entry.clsid);
    const std::wstring key = L"Software\\Classes\\CLSID\\" + ClsidString(*entry.clsid);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, key.c_str());
  }
  return S_OK;
}
