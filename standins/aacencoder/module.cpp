// The in-process COM server around the stand-in AAC encoder: registered under the system encoder's class id,
// as a COM class and as an audio encoder transform (PCM in, AAC out) for MFTEnumEx.
#include <windows.h>
#include <mfapi.h>
#include <wmcodecdsp.h>

#include "aactransform.h"
#include "comserver/comserver.h"

namespace {

const wchar_t kName[] = L"Vell Stand-in AAC Encoder";

}  // namespace

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** object) {
  if (clsid != CLSID_AACMFTEncoder) return CLASS_E_CLASSNOTAVAILABLE;
  return VellStandin::GetClassFactory(&VellStandin::AacEncoderTransform::Create, riid, object);
}

STDAPI DllCanUnloadNow() { return S_FALSE; }

STDAPI DllRegisterServer() {
  const HRESULT hr = VellStandin::RegisterInprocClass(CLSID_AACMFTEncoder, kName);
  if (FAILED(hr)) return hr;
  MFT_REGISTER_TYPE_INFO input = {MFMediaType_Audio, MFAudioFormat_PCM};
  MFT_REGISTER_TYPE_INFO output = {MFMediaType_Audio, MFAudioFormat_AAC};
  return MFTRegister(CLSID_AACMFTEncoder, MFT_CATEGORY_AUDIO_ENCODER, const_cast<LPWSTR>(kName),
                     MFT_ENUM_FLAG_SYNCMFT, 1, &input, 1, &output, nullptr);
}

STDAPI DllUnregisterServer() {
  MFTUnregister(CLSID_AACMFTEncoder);
  VellStandin::UnregisterInprocClass(CLSID_AACMFTEncoder);
  return S_OK;
}
