#include "d3d/optionalfunctions.h"

namespace VellRecorder {
namespace {

HRESULT WINAPI MissingMFCreateDXGIDeviceManager(UINT*, IMFDXGIDeviceManager**) { return E_NOTIMPL; }
HRESULT WINAPI MissingMFCreateDXGISurfaceBuffer(REFIID, IUnknown*, UINT, BOOL, IMFMediaBuffer**) {
  return E_NOTIMPL;
}
HRESULT WINAPI MissingGetDpiForMonitor(HMONITOR, MONITOR_DPI_TYPE, UINT*, UINT*) { return E_NOTIMPL; }

// The function from the module when both exist, the stand-in otherwise.
template <typename Fn>
Fn Lookup(HMODULE module, const char* name, Fn missing) {
  if (module == nullptr) return missing;
  // GetProcAddress returns a generic function pointer; the signature is the documented one of `name`.
  auto found = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  return found != nullptr ? found : missing;
}

}  // namespace

const OptionalFunctions& OptionalFunctions::Get() {
  static const OptionalFunctions functions;
  return functions;
}

OptionalFunctions::OptionalFunctions() : mfplat_(LoadLibraryW(L"mfplat")), shcore_(LoadLibraryW(L"Shcore")) {
  MFCreateDXGIDeviceManager = Lookup(mfplat_, "MFCreateDXGIDeviceManager", &MissingMFCreateDXGIDeviceManager);
  MFCreateDXGISurfaceBuffer = Lookup(mfplat_, "MFCreateDXGISurfaceBuffer", &MissingMFCreateDXGISurfaceBuffer);
  GetDpiForMonitor = Lookup(shcore_, "GetDpiForMonitor", &MissingGetDpiForMonitor);
}

OptionalFunctions::~OptionalFunctions() {
  if (mfplat_ != nullptr) FreeLibrary(mfplat_);
  if (shcore_ != nullptr) FreeLibrary(shcore_);
}

}  // namespace VellRecorder
