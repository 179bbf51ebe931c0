// The in-process COM server plumbing of the stand-in DLLs: a class factory over a creation function, and the
// registry entries that let CoCreateInstance in any process of the prefix find a class. Stand-ins keep no count
// of the objects they serve: a server stays loaded until its process ends, which is all a test process needs.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <functional>
#include <string>

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

}  // namespace VellStandin
