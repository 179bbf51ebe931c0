// The exports of a stand-in COM server DLL (comserver.def), over the classes the DLL lists in ServedClasses().
// Each DLL compiles this file itself (vell_standin_com_server), so that its exports are in the DLL whatever
// the linker keeps of the static library.
#include "comserver/comserver.h"

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** object) {
  for (const VellStandin::ServedClass& served : VellStandin::ServedClasses()) {
    if (clsid == served.clsid) return VellStandin::GetClassFactory(served.create, riid, object);
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

STDAPI DllCanUnloadNow() { return S_FALSE; }

STDAPI DllRegisterServer() {
  for (const VellStandin::ServedClass& served : VellStandin::ServedClasses()) {
    HRESULT hr = VellStandin::RegisterInprocClass(served.clsid, served.name);
    if (SUCCEEDED(hr) && served.enrol) hr = served.enrol();
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

STDAPI DllUnregisterServer() {
  for (const VellStandin::ServedClass& served : VellStandin::ServedClasses()) {
    if (served.withdraw) served.withdraw();
    VellStandin::UnregisterInprocClass(served.clsid);
  }
  return S_OK;
}
