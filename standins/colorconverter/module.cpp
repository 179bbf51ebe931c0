// The in-process COM server around the stand-in colour converter: registered as a COM class and as a video
// effect transform (YUY2 in, NV12 out) for MFTEnumEx.
#include <windows.h>
#include <mfapi.h>

#include "comserver/comserver.h"
#include "converter.h"

namespace {

const wchar_t kName[] = L"Vell Stand-in Colour Converter";

}  // namespace

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** object) {
  if (clsid != VellStandin::kColorConverterClsid) return CLASS_E_CLASSNOTAVAILABLE;
  return VellStandin::GetClassFactory(&VellStandin::ColorConverter::Create, riid, object);
}

STDAPI DllCanUnloadNow() { return S_FALSE; }

STDAPI DllRegisterServer() {
  const HRESULT hr = VellStandin::RegisterInprocClass(VellStandin::kColorConverterClsid, kName);
  if (FAILED(hr)) return hr;
  MFT_REGISTER_TYPE_INFO input = {MFMediaType_Video, MFVideoFormat_YUY2};
  MFT_REGISTER_TYPE_INFO output = {MFMediaType_Video, MFVideoFormat_NV12};
  return MFTRegister(VellStandin::kColorConverterClsid, MFT_CATEGORY_VIDEO_EFFECT, const_cast<LPWSTR>(kName), 0, 1,
                     &input, 1, &output, nullptr);
}

STDAPI DllUnregisterServer() {
  MFTUnregister(VellStandin::kColorConverterClsid);
  VellStandin::UnregisterInprocClass(VellStandin::kColorConverterClsid);
  return S_OK;
}
