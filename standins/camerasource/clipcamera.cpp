#include <mfapi.h>

#include "camerasource/camerasource.h"

namespace VellRecorder::StandIns {

HRESULT OpenClipCamera(const std::wstring& url, IMFMediaSource** source) {
  ComPtr<IMFSourceResolver> resolver;
  HRESULT hr = MFCreateSourceResolver(resolver.ReleaseAndGetAddressOf());
  MF_OBJECT_TYPE type = MF_OBJECT_INVALID;
  ComPtr<IUnknown> object;
  if (SUCCEEDED(hr)) {
    hr = resolver->CreateObjectFromURL(url.c_str(), MF_RESOLUTION_MEDIASOURCE, nullptr, &type,
                                       object.ReleaseAndGetAddressOf());
  }
  if (SUCCEEDED(hr)) hr = object->QueryInterface(IID_IMFMediaSource, reinterpret_cast<void**>(source));
  return hr;
}

}  // namespace VellRecorder::StandIns
