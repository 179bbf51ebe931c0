// The in-process COM server around the stand-in encoders: registration of
// both classes as COM classes and as video encoder transforms (NV12 in, H.264 out) for MFTEnumEx. The
// asynchronous class registers as hardware, as hardware encoders do.
#include <windows.h>
#include <mfapi.h>
#include <mferror.h>

#include <string>

#include "comserver/comserver.h"
#include "encodertransform.h"

namespace {

struct EncoderClass {
  const CLSID* clsid;
  VellStandin::Mode mode;
  const wchar_t* name;
  UINT32 enum_flags;
};

const EncoderClass kClasses[] = {
    {&VellStandin::kAsyncEncoderClsid, VellStandin::Mode::kAsync, L"Vell Stand-in H.264 Encoder (asynchronous)",
     MFT_ENUM_FLAG_HARDWARE | MFT_ENUM_FLAG_ASYNCMFT},
    {&VellStandin::kSyncEncoderClsid, VellStandin::Mode::kSync, L"Vell Stand-in H.264 Encoder (synchronous)",
     MFT_ENUM_FLAG_SYNCMFT},
};

}  // namespace

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** object) {
  for (const EncoderClass& entry : kClasses) {
    if (clsid != *entry.clsid) continue;
    const VellStandin::Mode mode = entry.mode;
    return VellStandin::GetClassFactory(
        [mode](REFIID iid, void** created) { return VellStandin::EncoderTransform::Create(mode, iid, created); }, riid,
        object);
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

// Transforms keep no count of the objects they serve: the server stays loaded until the process ends,
// which is all a test process needs.
STDAPI DllCanUnloadNow() { return S_FALSE; }

STDAPI DllRegisterServer() {
  MFT_REGISTER_TYPE_INFO input = {MFMediaType_Video, MFVideoFormat_NV12};
  MFT_REGISTER_TYPE_INFO output = {MFMediaType_Video, MFVideoFormat_H264};
  for (const EncoderClass& entry : kClasses) {
    HRESULT hr = VellStandin::RegisterInprocClass(*entry.clsid, entry.name);
    if (SUCCEEDED(hr)) {
      hr = MFTRegister(*entry.clsid, MFT_CATEGORY_VIDEO_ENCODER, const_cast<LPWSTR>(entry.name), entry.enum_flags,
                       1, &input, 1, &output, nullptr);
    }
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

STDAPI DllUnregisterServer() {
  for (const EncoderClass& entry : kClasses) {
    MFTUnregister(*entry.clsid);
    VellStandin::UnregisterInprocClass(*entry.clsid);
  }
  return S_OK;
}
