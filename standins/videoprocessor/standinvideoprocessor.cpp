#include "videoprocessor/standinvideoprocessor.h"

#include "comserver/comserver.h"
#include <new>

#include "utils/comptr.h"
#include "videoprocessor/videoprocessortransform.h"

namespace VellRecorder::StandIns {

HRESULT CreateVideoProcessor(REFIID riid, void** object) {
  auto* transform = new (std::nothrow) VideoProcessorTransform();
  return VellStandin::HandOut(transform, transform && transform->HasAttributes() ? S_OK : E_OUTOFMEMORY, riid, object);
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
