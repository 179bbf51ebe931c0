#include "videoprocessor/standinvideoprocessor.h"

#include "comserver/comserver.h"
#include "utils/comptr.h"
#include "videoprocessor/videoprocessortransform.h"

namespace VellRecorder::StandIns {

HRESULT CreateVideoProcessor(REFIID riid, void** object) {
  auto* transform = new VideoProcessorTransform();
  const HRESULT hr = transform->QueryInterface(riid, object);
  transform->Release();
  return hr;
}

ScopedVideoProcessorRegistration::ScopedVideoProcessorRegistration(const CLSID& clsid) {
  ComPtr<IClassFactory> factory;
  result_ = VellStandin::GetClassFactory(&CreateVideoProcessor, IID_IClassFactory,
                                         reinterpret_cast<void**>(factory.ReleaseAndGetAddressOf()));
  // The class table holds its own reference while registered.
  if (SUCCEEDED(result_)) {
    result_ = CoRegisterClassObject(clsid, factory.Get(), CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie_);
  }
}

ScopedVideoProcessorRegistration::~ScopedVideoProcessorRegistration() {
  if (SUCCEEDED(result_)) CoRevokeClassObject(cookie_);
}

}  // namespace VellRecorder::StandIns
