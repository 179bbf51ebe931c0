// The clip camera: Media Foundation's file source for the clip, wrapped so that it delivers frames at the clip's
// frame rate whoever asks. A file source answers each sample request at once; a camera's frames come at its own
// pace, and a sink that does not wait for presentation times would otherwise record the clip as fast as it can
// be read. Everything but the pace (formats, events, start, stop, shutdown) is the file source's.
#include <mfapi.h>
#include <mferror.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "camerasource/camerasource.h"
#include "camerasource/mediaeventobject.h"
#include "utils/clock.h"

namespace VellRecorder::StandIns {
namespace {

// One stream of the clip: a sample request is passed on at the next frame time, one frame interval after the
// one before it.
class PacedStream final : public MediaEventObject<IMFMediaStream> {
 public:
  PacedStream(IMFMediaSource* source, IMFMediaStream* inner)
      : source_(source), inner_(inner), thread_([this] { PassRequestsOn(); }) {}

  IMFMediaStream* Inner() const { return inner_.Get(); }
  // Requests still waiting are dropped; the thread ends. Also breaks the stream's hold on its source.
  void Shutdown() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (shut_down_) return;
      shut_down_ = true;
      waiting_.clear();
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
    source_.Reset();
  }

  STDMETHODIMP GetEvent(DWORD flags, IMFMediaEvent** event) override { return inner_->GetEvent(flags, event); }
  STDMETHODIMP BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) override {
    return inner_->BeginGetEvent(callback, state);
  }
  STDMETHODIMP EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) override {
    return inner_->EndGetEvent(result, event);
  }
  STDMETHODIMP QueueEvent(MediaEventType type, REFGUID extended, HRESULT status, const PROPVARIANT* value) override {
    return inner_->QueueEvent(type, extended, status, value);
  }
  STDMETHODIMP GetMediaSource(IMFMediaSource** source) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!source_) return MF_E_SHUTDOWN;
    *source = ComPtr<IMFMediaSource>(source_).Detach();
    return S_OK;
  }
  STDMETHODIMP GetStreamDescriptor(IMFStreamDescriptor** descriptor) override {
    return inner_->GetStreamDescriptor(descriptor);
  }
  STDMETHODIMP RequestSample(IUnknown* token) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (shut_down_) return MF_E_SHUTDOWN;
    if (interval_ns_ == 0) interval_ns_ = FrameIntervalNs();
    const int64_t due_ns = std::max(MonotonicNowNs(), last_due_ns_ + interval_ns_);
    last_due_ns_ = due_ns;
    waiting_.emplace_back(due_ns, ComPtr<IUnknown>(token));
    wake_.notify_all();
    return S_OK;
  }

 private:
  ~PacedStream() override { Shutdown(); }

  int64_t FrameIntervalNs() const {
    ComPtr<IMFStreamDescriptor> descriptor;
    ComPtr<IMFMediaTypeHandler> handler;
    ComPtr<IMFMediaType> type;
    UINT32 numerator = 0, denominator = 0;
    if (SUCCEEDED(inner_->GetStreamDescriptor(descriptor.ReleaseAndGetAddressOf())) &&
        SUCCEEDED(descriptor->GetMediaTypeHandler(handler.ReleaseAndGetAddressOf())) &&
        SUCCEEDED(handler->GetCurrentMediaType(type.ReleaseAndGetAddressOf())) &&
        SUCCEEDED(MFGetAttributeRatio(type.Get(), MF_MT_FRAME_RATE, &numerator, &denominator)) && numerator > 0) {
      return static_cast<int64_t>(denominator) * 1'000'000'000 / numerator;
    }
    return 1'000'000'000 / 30;
  }

  void PassRequestsOn() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!shut_down_) {
      if (waiting_.empty()) {
        wake_.wait(lock);
        continue;
      }
      const int64_t wait_ns = waiting_.front().first - MonotonicNowNs();
      if (wait_ns > 0) {
        wake_.wait_for(lock, std::chrono::nanoseconds(wait_ns));
        continue;
      }
      const ComPtr<IUnknown> token = std::move(waiting_.front().second);
      waiting_.pop_front();
      lock.unlock();
      // A stopped or shut-down file source refuses it, as a camera gives nothing then.
      inner_->RequestSample(token.Get());
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  ComPtr<IMFMediaSource> source_;  // guarded by mutex_; the wrapping source, until shut down
  const ComPtr<IMFMediaStream> inner_;
  bool shut_down_ = false;   // guarded by mutex_
  int64_t interval_ns_ = 0;  // guarded by mutex_; read at the first request
  int64_t last_due_ns_ = 0;  // guarded by mutex_
  std::deque<std::pair<int64_t, ComPtr<IUnknown>>> waiting_;  // guarded by mutex_: due time, token
  std::thread thread_;  // last: it starts once the rest is built
};

// The file source, its new streams handed out as paced streams.
class PacedSource final : public MediaEventObject<IMFMediaSource> {
 public:
  explicit PacedSource(IMFMediaSource* inner) : inner_(inner) {}

  STDMETHODIMP GetEvent(DWORD flags, IMFMediaEvent** event) override {
    const HRESULT hr = inner_->GetEvent(flags, event);
    return SUCCEEDED(hr) ? WrapStream(event) : hr;
  }
  STDMETHODIMP BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) override {
    return inner_->BeginGetEvent(callback, state);
  }
  STDMETHODIMP EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) override {
    const HRESULT hr = inner_->EndGetEvent(result, event);
    return SUCCEEDED(hr) ? WrapStream(event) : hr;
  }
  STDMETHODIMP QueueEvent(MediaEventType type, REFGUID extended, HRESULT status, const PROPVARIANT* value) override {
    return inner_->QueueEvent(type, extended, status, value);
  }
  STDMETHODIMP GetCharacteristics(DWORD* characteristics) override {
    return inner_->GetCharacteristics(characteristics);
  }
  STDMETHODIMP CreatePresentationDescriptor(IMFPresentationDescriptor** descriptor) override {
    return inner_->CreatePresentationDescriptor(descriptor);
  }
  STDMETHODIMP Start(IMFPresentationDescriptor* descriptor, const GUID* format, const PROPVARIANT* start) override {
    return inner_->Start(descriptor, format, start);
  }
  STDMETHODIMP Stop() override { return inner_->Stop(); }
  STDMETHODIMP Pause() override { return inner_->Pause(); }
  STDMETHODIMP Shutdown() override {
    const HRESULT hr = inner_->Shutdown();
    std::vector<ComPtr<PacedStream>> streams;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      streams.swap(streams_);
    }
    for (const ComPtr<PacedStream>& stream : streams) stream->Shutdown();
    return hr;
  }

 private:
  // MENewStream and MEUpdatedStream carry the stream: the paced one goes out instead, the same for each.
  HRESULT WrapStream(IMFMediaEvent** event) {
    MediaEventType type = MEUnknown;
    (*event)->GetType(&type);
    if (type != MENewStream && type != MEUpdatedStream) return S_OK;
    PROPVARIANT value;
    PropVariantInit(&value);
    ComPtr<IMFMediaStream> inner;
    if (SUCCEEDED((*event)->GetValue(&value)) && value.vt == VT_UNKNOWN && value.punkVal) {
      value.punkVal->QueryInterface(IID_IMFMediaStream, reinterpret_cast<void**>(inner.ReleaseAndGetAddressOf()));
    }
    PropVariantClear(&value);
    if (!inner) return S_OK;
    ComPtr<PacedStream> paced = StreamFor(inner.Get());
    GUID extended = GUID_NULL;
    HRESULT status = S_OK;
    (*event)->GetExtendedType(&extended);
    (*event)->GetStatus(&status);
    value.vt = VT_UNKNOWN;
    value.punkVal = static_cast<IMFMediaStream*>(paced.Get());
    ComPtr<IMFMediaEvent> wrapped;
    const HRESULT hr = MFCreateMediaEvent(type, extended, status, &value, wrapped.ReleaseAndGetAddressOf());
    if (FAILED(hr)) return hr;
    (*event)->Release();
    *event = wrapped.Detach();
    return S_OK;
  }

  ComPtr<PacedStream> StreamFor(IMFMediaStream* inner) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const ComPtr<PacedStream>& stream : streams_) {
      if (stream->Inner() == inner) return stream;
    }
    ComPtr<PacedStream> stream;
    stream.Attach(new PacedStream(this, inner));
    streams_.push_back(stream);
    return stream;
  }

  const ComPtr<IMFMediaSource> inner_;
  std::mutex mutex_;
  std::vector<ComPtr<PacedStream>> streams_;  // guarded by mutex_; until Shutdown (each holds this source)
};

}  // namespace

HRESULT OpenClipCamera(const std::wstring& url, IMFMediaSource** source) {
  ComPtr<IMFSourceResolver> resolver;
  HRESULT hr = MFCreateSourceResolver(resolver.ReleaseAndGetAddressOf());
  MF_OBJECT_TYPE type = MF_OBJECT_INVALID;
  ComPtr<IUnknown> object;
  if (SUCCEEDED(hr)) {
    hr = resolver->CreateObjectFromURL(url.c_str(), MF_RESOLUTION_MEDIASOURCE, nullptr, &type,
                                       object.ReleaseAndGetAddressOf());
  }
  ComPtr<IMFMediaSource> file;
  if (SUCCEEDED(hr)) hr = object.As(&file);
  if (SUCCEEDED(hr)) *source = new PacedSource(file.Get());
  return hr;
}

}  // namespace VellRecorder::StandIns
