// vell-duplication.dll: loaded by a test launcher into an unmodified program before its main. It points the
// program's imports of CreateDXGIFactory, CreateDXGIFactory1 and D3D11CreateDevice at wrappers that install the
// duplication stand-in on first use, then call the system's functions. Installing from DllMain itself would run
// under the loader lock, and from a thread started here would race the program; the first DXGI call is the
// moment that is both safe and early enough. Faults come from the environment variable VELL_DUPLICATION_FAULTS
// ("timeouts=N,lose-after=N,refusals=N,slow-ms=N").
#include <windows.h>
#include <d3d11.h>
#include <dxgi1_2.h>

#include <string>

#include "duplicationstandin.h"
#include "importredirect.h"
#include "injection.h"

namespace {

using namespace VellRecorder::StandIn;

void Say(const std::string& text) { VellRecorder::StandIn::Say("vell-duplication", text); }

void InstallOnFirstUse() {
  static const HRESULT installed = InstallDuplication();
  (void)installed;
}

HRESULT WINAPI CreateDXGIFactoryHook(REFIID riid, void** factory) {
  InstallOnFirstUse();
  return CreateDXGIFactory(riid, factory);
}

HRESULT WINAPI CreateDXGIFactory1Hook(REFIID riid, void** factory) {
  InstallOnFirstUse();
  return CreateDXGIFactory1(riid, factory);
}

HRESULT WINAPI D3D11CreateDeviceHook(IDXGIAdapter* adapter, D3D_DRIVER_TYPE type, HMODULE software, UINT flags,
                                     const D3D_FEATURE_LEVEL* levels, UINT level_count, UINT sdk_version,
                                     ID3D11Device** device, D3D_FEATURE_LEVEL* level,
                                     ID3D11DeviceContext** context) {
  InstallOnFirstUse();
  return D3D11CreateDevice(adapter, type, software, flags, levels, level_count, sdk_version, device, level, context);
}

void Arm() {
  const std::string faults = EnvironmentText("VELL_DUPLICATION_FAULTS");
  if (!faults.empty() && !ApplyFaults(faults)) Say("ignoring VELL_DUPLICATION_FAULTS=" + faults);
  HMODULE program = GetModuleHandleW(nullptr);
  int redirected = 0;
  redirected +=
      RedirectImport(program, "dxgi.dll", "CreateDXGIFactory", reinterpret_cast<void*>(&CreateDXGIFactoryHook));
  redirected +=
      RedirectImport(program, "dxgi.dll", "CreateDXGIFactory1", reinterpret_cast<void*>(&CreateDXGIFactory1Hook));
  redirected +=
      RedirectImport(program, "d3d11.dll", "D3D11CreateDevice", reinterpret_cast<void*>(&D3D11CreateDeviceHook));
  Say("DuplicateOutput stand-in armed on " + std::to_string(redirected) + " imports" +
      (faults.empty() ? std::string() : ", faults " + faults));
}

}  // namespace

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  return VellRecorder::StandIn::ArmOnLoad(instance, reason, &Arm);
}
