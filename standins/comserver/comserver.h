// The in-process COM server of the stand-in DLLs: a class factory over a creation function, the registry entries
// that let CoCreateInstance in any process of the prefix find a class, and the DLL's exports (dllexports.cpp)
// over the list of classes each DLL serves. Stand-ins keep no count of the objects they serve: a server stays
// loaded until its process ends, which is all a test process needs.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <mfobjects.h>
#include <mftransform.h>

#include <functional>
#include <string>
#include <vector>

namespace VellStandin {

// Makes one object of a class and queries it for `riid`.
using CreateObject = std::function<HRESULT(REFIID riid, void** object)>;

// The work of DllGetClassObject for one class: a class factory whose CreateInstance calls `create`.
HRESULT GetClassFactory(CreateObject create, REFIID riid, void** object);

// The full path of the DLL this code is linked into.
HRESULT ThisModulePath(std::wstring* path);

// HKLM\Software\Classes\CLSID\{clsid}: the name, InprocServer32 = this DLL, ThreadingModel "Both".
HRESULT RegisterInprocClass(const CLSID& clsid, const std::wstring& name);
void UnregisterInprocClass(const CLSID& clsid);

// One class a stand-in DLL serves.
struct ServedClass {
  CLSID clsid;
  std::wstring name;
  CreateObject create;
  // Where else the class is entered for its callers to find it (a transform or device category), once its
  // COM class is registered, and the undoing; either may be empty.
  std::function<HRESULT()> enrol;
  std::function<void()> withdraw;
};

// The classes served by the DLL this code is linked into: each stand-in COM server DLL defines it.
const std::vector<ServedClass>& ServedClasses();

// A class that is also a transform MFTEnumEx lists under `category` with these flags, one input and one
// output type.
ServedClass TransformClass(const CLSID& clsid, const std::wstring& name, CreateObject create, const GUID& category,
                           UINT32 flags, MFT_REGISTER_TYPE_INFO input, MFT_REGISTER_TYPE_INFO output);

}  // namespace VellStandin
