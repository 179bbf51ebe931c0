// A camera source that lists formats and is never started; its events come from a plain event queue.
#include <mfapi.h>

#include "camerasource/camerasource.h"
#include "camerasource/mediaeventobject.h"
#include "tracehr.h"

namespace VellRecorder::StandIns {
namespace {

class FormatsCamera final : public MediaEventObject<IMFMediaSource> {
 public:
  static HRESULT Create(const std::vector<CameraFormatEntry>& formats, ComPtr<IMFMediaTypeHandler>* handler,
                        IMFMediaSource** source) {
    std::vector<ComPtr<IMFMediaType>> types;
    std::vector<IMFMediaType*> pointers;
    for (const CameraFormatEntry& f : formats) {
      types.emplace_back();
      RETURN_IF_FAILED(MFCreateMediaType(types.back().ReleaseAndGetAddressOf()));
      IMFMediaType* type = types.back().Get();
      RETURN_IF_FAILED(type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video));
      RETURN_IF_FAILED(type->SetGUID(MF_MT_SUBTYPE, f.subtype));
      RETURN_IF_FAILED(MFSetAttributeSize(type, MF_MT_FRAME_SIZE, f.width, f.height));
      if (f.rate_numerator) {
        RETURN_IF_FAILED(MFSetAttributeRatio(type, MF_MT_FRAME_RATE, f.rate_numerator, f.rate_denominator));
      }
      pointers.push_back(type);
    }
    auto* camera = new FormatsCamera();
    HRESULT hr = MFCreateStreamDescriptor(0, static_cast<DWORD>(pointers.size()), pointers.data(),
                                          camera->stream_.ReleaseAndGetAddressOf());
    IMFStreamDescriptor* stream = camera->stream_.Get();
    if (SUCCEEDED(hr)) hr = MFCreatePresentationDescriptor(1, &stream, camera->presentation_.ReleaseAndGetAddressOf());
    if (SUCCEEDED(hr)) hr = stream->GetMediaTypeHandler(handler->ReleaseAndGetAddressOf());
    if (SUCCEEDED(hr)) hr = MFCreateEventQueue(camera->events_.ReleaseAndGetAddressOf());
    if (SUCCEEDED(hr)) *source = camera;
    else camera->Release();
    return hr;
  }

  STDMETHODIMP GetEvent(DWORD flags, IMFMediaEvent** event) override { return events_->GetEvent(flags, event); }
  STDMETHODIMP BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) override {
    return events_->BeginGetEvent(callback, state);
  }
  STDMETHODIMP EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) override {
    return events_->EndGetEvent(result, event);
  }
  STDMETHODIMP QueueEvent(MediaEventType type, REFGUID extended, HRESULT status, const PROPVARIANT* value) override {
    return events_->QueueEventParamVar(type, extended, status, value);
  }
  STDMETHODIMP GetCharacteristics(DWORD* characteristics) override {
    *characteristics = MFMEDIASOURCE_IS_LIVE;
    return S_OK;
  }
  STDMETHODIMP CreatePresentationDescriptor(IMFPresentationDescriptor** descriptor) override {
    return presentation_->Clone(descriptor);
  }
  STDMETHODIMP Start(IMFPresentationDescriptor*, const GUID*, const PROPVARIANT*) override { return E_NOTIMPL; }
  STDMETHODIMP Stop() override { return E_NOTIMPL; }
  STDMETHODIMP Pause() override { return E_NOTIMPL; }
  STDMETHODIMP Shutdown() override { return events_->Shutdown(); }

 private:
  FormatsCamera() = default;
  ~FormatsCamera() override = default;

  ComPtr<IMFStreamDescriptor> stream_;
  ComPtr<IMFPresentationDescriptor> presentation_;
  ComPtr<IMFMediaEventQueue> events_;
};

}  // namespace

HRESULT CreateFormatsCamera(const std::vector<CameraFormatEntry>& formats, ComPtr<IMFMediaTypeHandler>* handler,
                            IMFMediaSource** source) {
  return FormatsCamera::Create(formats, handler, source);
}

}  // namespace VellRecorder::StandIns
