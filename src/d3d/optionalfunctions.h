// System functions that not every Windows version has, looked up once per process at first use. A function
// that is missing is replaced by a stand-in that fails with E_NOTIMPL, so callers never test for null.
#pragma once

#include <windows.h>
#include <shellscalingapi.h>

struct IMFDXGIDeviceManager;
struct IMFMediaBuffer;

namespace VellRecorder {

class OptionalFunctions {
 public:
  using MFCreateDXGIDeviceManagerFn = HRESULT(WINAPI*)(UINT* reset_token, IMFDXGIDeviceManager** manager);
  using MFCreateDXGISurfaceBufferFn = HRESULT(WINAPI*)(REFIID riid, IUnknown* surface, UINT subresource_index,
                                                       BOOL bottom_up_when_linear, IMFMediaBuffer** buffer);
  using GetDpiForMonitorFn = HRESULT(WINAPI*)(HMONITOR monitor, MONITOR_DPI_TYPE dpi_type, UINT* dpi_x,
                                              UINT* dpi_y);

  // The process-wide table; built on first use (thread-safe), read-only afterwards, so any thread may call.
  static const OptionalFunctions& Get();

  OptionalFunctions(const OptionalFunctions&) = delete;
  OptionalFunctions& operator=(const OptionalFunctions&) = delete;

  HMODULE MfplatModule() const { return mfplat_; }
  HMODULE ShcoreModule() const { return shcore_; }

  MFCreateDXGIDeviceManagerFn MFCreateDXGIDeviceManager = nullptr;
  MFCreateDXGISurfaceBufferFn MFCreateDXGISurfaceBuffer = nullptr;
  GetDpiForMonitorFn GetDpiForMonitor = nullptr;

 private:
  OptionalFunctions();
  ~OptionalFunctions();

  // Loaded in this order; freed at process exit, mfplat first. Null when the library is missing.
  HMODULE mfplat_ = nullptr;
  HMODULE shcore_ = nullptr;
};

}  // namespace VellRecorder
