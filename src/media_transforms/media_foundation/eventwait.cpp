#include "media_transforms/media_foundation/eventwait.h"

#include <mfapi.h>
#include <mferror.h>

#include <atomic>
#include <mutex>

#include "tracehr.h"
#include "utils/clock.h"
#include "utils/scopedhandle.h"

namespace VellRecorder::MediaFoundation {

// One BeginGetEvent: the generator invokes it on a Media Foundation work queue thread with the event, or with
// its failure (MF_E_SHUTDOWN when the transform shuts down first).
class EventWait::Request final : public IMFAsyncCallback {
 public:
  explicit Request(IMFMediaEventGenerator* generator)
      : generator_(generator), done_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    *object = riid == IID_IUnknown || riid == IID_IMFAsyncCallback ? static_cast<IMFAsyncCallback*>(this) : nullptr;
    if (!*object) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE GetParameters(DWORD*, DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(IMFAsyncResult* result) override {
    std::lock_guard<std::mutex> lock(mutex_);
    hr_ = generator_ ? generator_->EndGetEvent(result, event_.ReleaseAndGetAddressOf()) : E_UNEXPECTED;
    generator_.Reset();  // the request is answered: nothing ties the generator to it any more
    SetEvent(done_.Get());
    return S_OK;
  }

  bool Valid() const { return done_.IsValid(); }
  HANDLE Done() const { return done_.Get(); }
  // After Done is signalled.
  HRESULT Take(MediaEventType* type) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (FAILED(hr_)) return hr_;
    return event_ ? event_->GetType(type) : E_UNEXPECTED;
  }

 private:
  ~Request() = default;

  std::atomic<ULONG> refs_{1};
  std::mutex mutex_;
  ComPtr<IMFMediaEventGenerator> generator_;  // guarded by mutex_
  ComPtr<IMFMediaEvent> event_;               // guarded by mutex_
  HRESULT hr_ = E_PENDING;                    // guarded by mutex_
  ScopedHandle done_;                         // manual-reset, set by Invoke
};

EventWait::EventWait() = default;
EventWait::~EventWait() = default;

HRESULT EventWait::Wait(IMFMediaEventGenerator* generator, DWORD timeout_ms, MediaEventType* type) {
  if (!generator || !type) return VELL_TRACE_FAILURE(E_POINTER);
  if (generator != generator_.Get()) {
    // Another transform: a request left with the old one is its own business now.
    generator_ = ComPtr<IMFMediaEventGenerator>(generator);
    pending_.Reset();
    polls_ = false;
  }
  if (!pending_ && !polls_) {
    ComPtr<Request> request;
    request.Attach(new Request(generator));
    if (!request->Valid()) return VELL_TRACE_FAILURE(HRESULT_FROM_WIN32(GetLastError()));
    const HRESULT hr = generator->BeginGetEvent(request.Get(), nullptr);
    if (hr == E_NOTIMPL) {
      polls_ = true;
    } else if (FAILED(hr)) {
      return VELL_TRACE_FAILURE(hr);
    } else {
      pending_ = request;
    }
  }
  if (polls_) return Poll(timeout_ms, type);
  const DWORD waited = WaitForSingleObject(pending_->Done(), timeout_ms);
  if (waited == WAIT_TIMEOUT) return kEventWaitTimedOut;
  if (waited != WAIT_OBJECT_0) return VELL_TRACE_FAILURE(HRESULT_FROM_WIN32(GetLastError()));
  const ComPtr<Request> answered = std::move(pending_);
  return answered->Take(type);
}

HRESULT EventWait::Poll(DWORD timeout_ms, MediaEventType* type) {
  const int64_t deadline_ns = MonotonicNowNs() + int64_t{timeout_ms} * 1000000;
  for (;;) {
    ComPtr<IMFMediaEvent> event;
    const HRESULT hr = generator_->GetEvent(MF_EVENT_FLAG_NO_WAIT, event.ReleaseAndGetAddressOf());
    if (SUCCEEDED(hr)) return event->GetType(type);
    if (hr != MF_E_NO_EVENTS_AVAILABLE) return hr;
    if (timeout_ms != INFINITE && MonotonicNowNs() >= deadline_ns) return kEventWaitTimedOut;
    ::Sleep(1);
  }
}

}  // namespace VellRecorder::MediaFoundation
