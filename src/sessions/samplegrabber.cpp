#include "sessions/samplegrabber.h"

#include <new>

#include "muxers/hlssink.h"

namespace VellRecorder {

HRESULT CSampleGrabber::CreateInstance(HLSSink* sink, KeyframeRequest request_keyframe, CSampleGrabber** grabber) {
  if (!grabber) return E_POINTER;
  *grabber = new (std::nothrow) CSampleGrabber(sink, std::move(request_keyframe));
  return *grabber ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP CSampleGrabber::QueryInterface(REFIID riid, void** object) {
  if (!object) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IMFClockStateSink || riid == IID_IMFSampleGrabberSinkCallback) {
    *object = static_cast<IMFSampleGrabberSinkCallback*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CSampleGrabber::AddRef() { return ++refs_; }

STDMETHODIMP_(ULONG) CSampleGrabber::Release() {
  const ULONG refs = --refs_;
  if (refs == 0) delete this;
  return refs;
}

STDMETHODIMP CSampleGrabber::OnSetPresentationClock(IMFPresentationClock* clock) {
  std::lock_guard<std::mutex> lock(mutex_);
  clock_ = ComPtr<IMFPresentationClock>(clock);
  return S_OK;
}

STDMETHODIMP CSampleGrabber::OnProcessSample(REFGUID, DWORD, LONGLONG sample_time, LONGLONG duration,
                                             const BYTE* buffer, DWORD size) {
  if (!buffer || size == 0) return S_OK;
  std::lock_guard<std::mutex> lock(mutex_);
  const std::optional<int64_t> time_us = timeline_.Stamp(sample_time, HLSSink::IsKeyframe(buffer, size));
  if (!time_us) return S_OK;
  sink_->MuxRaw(buffer, size, *time_us, StreamKind::kVideo);
  // The frames reach this callback after the encoder: the keyframe is asked for one frame ahead, so that it
  // falls on the first frame past the boundary (later by the frames the encoder holds).
  if (request_keyframe_ && keyframes_.Due(*time_us + duration / 10)) request_keyframe_();
  return S_OK;
}

STDMETHODIMP CSampleGrabber::OnShutdown() {
  std::lock_guard<std::mutex> lock(mutex_);
  clock_.Reset();
  return S_OK;
}

void CSampleGrabber::SessionStarted(int64_t delay_us) {
  std::lock_guard<std::mutex> lock(mutex_);
  timeline_.SessionStarted(delay_us);
}

int64_t CSampleGrabber::ClockTime() const {
  MFTIME time = 0;
  if (clock_ && FAILED(clock_->GetTime(&time))) time = 0;
  return time;
}

void CSampleGrabber::Pause() {
  std::lock_guard<std::mutex> lock(mutex_);
  timeline_.Pause(ClockTime());
}

void CSampleGrabber::Resume() {
  std::lock_guard<std::mutex> lock(mutex_);
  timeline_.Resume(ClockTime());
}

void CSampleGrabber::Stop() {
  std::lock_guard<std::mutex> lock(mutex_);
  timeline_.Stop();
}

}  // namespace VellRecorder
