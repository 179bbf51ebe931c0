// vell-loopback.dll: loaded by a test launcher into an unmodified program before its main. It points the
// program's import of CoCreateInstance at a function that wraps the audio endpoint enumerator (and only it): its
// default output endpoint is the monitor that hears that output (loopbackenumerator.h). The monitor can be named
// with VELL_LOOPBACK_MONITOR. Wine's loopback capture on an output fails at GetService, so nothing of the
// system's is asked for one.
#include <windows.h>
#include <mmdeviceapi.h>

#include <string>

#include "importredirect.h"
#include "injection.h"
#include "loopbackenumerator.h"
#include "utils/comptr.h"

namespace {

using namespace VellRecorder::StandIn;

HRESULT WINAPI CoCreateInstanceHook(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID riid, LPVOID* object) {
  if (clsid != __uuidof(MMDeviceEnumerator) || !object) return CoCreateInstance(clsid, outer, context, riid, object);
  *object = nullptr;
  VellRecorder::ComPtr<IMMDeviceEnumerator> system;
  const HRESULT hr = CoCreateInstance(clsid, outer, context, __uuidof(IMMDeviceEnumerator),
                                      reinterpret_cast<void**>(system.ReleaseAndGetAddressOf()));
  if (FAILED(hr)) return hr;
  return CreateLoopbackEnumerator(system.Get(), EnvironmentWide(L"VELL_LOOPBACK_MONITOR"), riid, object);
}

void Arm() {
  const bool redirected = RedirectImport(GetModuleHandleW(nullptr), "ole32.dll", "CoCreateInstance",
                                         reinterpret_cast<void*>(&CoCreateInstanceHook));
  Say("vell-loopback", redirected ? "loopback armed" : "the program does not import CoCreateInstance");
}

}  // namespace

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  return VellRecorder::StandIn::ArmOnLoad(instance, reason, &Arm);
}
