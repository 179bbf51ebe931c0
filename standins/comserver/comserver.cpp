#include "comserver/comserver.h"

#include "comserver/comobject.h"

#include <new>
#include <utility>

namespace VellStandin {
namespace {

class ClassFactory final : public ComObject<IClassFactory> {
 public:
  explicit ClassFactory(CreateObject create) : create_(std::move(create)) {}

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    return create_(riid, object);
  }
  // The server is never unloaded before the process ends, so there is nothing to lock.
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

 private:
  const CreateObject create_;
};

std::wstring ClassKey(const CLSID& clsid) {
  wchar_t text[40] = {};
  StringFromGUID2(clsid, text, 40);
  return std::wstring(L"Software\\Classes\\CLSID\\") + text;
}

LSTATUS SetText(const std::wstring& key, const wchar_t* value_name, const std::wstring& text) {
  return RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), value_name, REG_SZ, text.c_str(),
                         static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

}  // namespace

HRESULT GetClassFactory(CreateObject create, REFIID riid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  auto* factory = new (std::nothrow) ClassFactory(std::move(create));
  if (!factory) return E_OUTOFMEMORY;
  const HRESULT hr = factory->QueryInterface(riid, object);
  factory->Release();
  return hr;
}

HRESULT ThisModulePath(std::wstring* path) {
  HMODULE module = nullptr;
  // The module that holds this function: the stand-in DLL this library is linked into.
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCWSTR>(&ThisModulePath), &module)) {
    return HRESULT_FROM_WIN32(GetLastError());
  }
  wchar_t text[MAX_PATH] = {};
  if (GetModuleFileNameW(module, text, MAX_PATH) == 0) return HRESULT_FROM_WIN32(GetLastError());
  *path = text;
  return S_OK;
}

HRESULT RegisterInprocClass(const CLSID& clsid, const std::wstring& name) {
  std::wstring path;
  const HRESULT hr = ThisModulePath(&path);
  if (FAILED(hr)) return hr;
  const std::wstring key = ClassKey(clsid);
  LSTATUS status = SetText(key, nullptr, name);
  if (status == ERROR_SUCCESS) status = SetText(key + L"\\InprocServer32", nullptr, path);
  if (status == ERROR_SUCCESS) status = SetText(key + L"\\InprocServer32", L"ThreadingModel", L"Both");
  return HRESULT_FROM_WIN32(status);
}

void UnregisterInprocClass(const CLSID& clsid) { RegDeleteTreeW(HKEY_LOCAL_MACHINE, ClassKey(clsid).c_str()); }

}  // namespace VellStandin
