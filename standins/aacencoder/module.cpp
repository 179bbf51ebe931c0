// The in-process COM server around the stand-in AAC encoder: class factory, unload check, and registration
// under the system encoder's class id, as a COM class and as an audio encoder transform (PCM in, AAC out)
// for MFTEnumEx.
#include <windows.h>
#include <mfapi.h>
#include <mferror.h>
#include <wmcodecdsp.h>

#include <string>

#include "aactransform.h"

namespace {

HMODULE g_module = nullptr;
const wchar_t kName[] = L"Vell Stand-in AAC Encoder";

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
    return VellStandin::AacEncoderTransform::Create(riid, object);
  }
  // The server is never unloaded before the process ends (DllCanUnloadNow), so there is nothing to lock.
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

 private:
  LONG refs_ = 1;
};

std::wstring ClassKey() {
  wchar_t text[40] = {};
  StringFromGUID2(CLSID_AACMFTEncoder, text, 40);
  return std::wstring(L"Software\\Classes\\CLSID\\") + text;
}

HRESULT RegisterComClass(const std::wstring& module_path) {
  const std::wstring key = ClassKey();
  const std::wstring server = key + L"\\InprocServer32";
  const auto bytes = [](const wchar_t* text) { return static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t)); };
  LSTATUS status = RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), nullptr, REG_SZ, kName, bytes(kName));
  if (status == ERROR_SUCCESS) {
    status = RegSetKeyValueW(HKEY_LOCAL_MACHINE, server.c_str(), nullptr, REG_SZ, module_path.c_str(),
                             bytes(module_path.c_str()));
  }
  if (status == ERROR_SUCCESS) {
    status = RegSetKeyValueW(HKEY_LOCAL_MACHINE, server.c_str(), L"ThreadingModel", REG_SZ, L"Both", bytes(L"Both"));
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
  if (clsid != CLSID_AACMFTEncoder) return CLASS_E_CLASSNOTAVAILABLE;
  auto* factory = new (std::nothrow) ClassFactory();
  if (!factory) return E_OUTOFMEMORY;
  const HRESULT hr = factory->QueryInterface(riid, object);
  factory->Release();
  return hr;
}

// Transforms keep no count of the objects they serve: the server stays loaded until the process ends,
// which is all a test process needs.
STDAPI DllCanUnloadNow() { return S_FALSE; }

STDAPI DllRegisterServer() {
  wchar_t path[MAX_PATH] = {};
  if (GetModuleFileNameW(g_module, path, MAX_PATH) == 0) return HRESULT_FROM_WIN32(GetLastError());
  HRESULT hr = RegisterComClass(path);
  MFT_REGISTER_TYPE_INFO input = {MFMediaType_Audio, MFAudioFormat_PCM};
  MFT_REGISTER_TYPE_INFO output = {MFMediaType_Audio, MFAudioFormat_AAC};
  if (SUCCEEDED(hr)) {
    hr = MFTRegister(CLSID_AACMFTEncoder, MFT_CATEGORY_AUDIO_ENCODER, const_cast<LPWSTR>(kName),
                     MFT_ENUM_FLAG_SYNCMFT, 1, &input, 1, &output, nullptr);
  }
  return hr;
}

STDAPI DllUnregisterServer() {
  MFTUnregister(CLSID_AACMFTEncoder);
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, ClassKey().c_str());
  return S_OK;
}
