#include "videoprocessor/standinvideoprocessor.h"

#include <atomic>

#include "videoprocessor/videoprocessortransform.h"

namespace VellRecorder::StandIns {
namespace {

class ClassFactory final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    if (riid != IID_IUnknown && riid != IID_IClassFactory) {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    *object = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
    if (outer) return CLASS_E_NOAGGREGATION;
    return CreateVideoProcessor(riid, object);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

 private:
  ~ClassFactory() = default;
  std::atomic<ULONG> refs_{1};
};

}  // namespace

HRESULT CreateVideoProcessor(REFIID riid, void** object) {
  auto* transform = new VideoProcessorTransform();
  const HRESULT hr = transform->QueryInterface(riid, object);
  transform->Release();
  return hr;
}

ScopedVideoProcessorRegistration::ScopedVideoProcessorRegistration(const CLSID& clsid) {
  auto* factory = new ClassFactory();
  result_ = CoRegisterClassObject(clsid, factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie_);
  factory->Release();  // the class table holds its own reference while registered
}

ScopedVideoProcessorRegistration::~ScopedVideoProcessorRegistration() {
  if (SUCCEEDED(result_)) CoRevokeClassObject(cookie_);
}

}  // namespace VellRecorder::StandIns
