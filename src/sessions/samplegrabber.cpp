#include "sessions/samplegrabber.h"

#include <new>

#include "muxers/hlssink.h"
#include "muxers/parametersets.h"
#include "utils/clock.h"

namespace VellRecorder {

HRESULT CSampleGrabber::CreateInstance(HLSSink* sink, KeyframeRequest request_keyframe,
                                       SequenceHeaderSource sequence_header, CSampleGrabber** grabber) {
  if (!grabber) return E_POINTER;
  *grabber = new (std::nothrow) CSampleGrabber(sink, std::move(request_keyframe), std::move(sequence_header));
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
  last_sample_ns_ = MonotonicNowNs();
  if (!buffer || size == 0) return S_OK;
  std::lock_guard<std::mutex> lock(mutex_);
  // Encoders that keep the parameter sets out of band publish them by their first output.
  if (!sequence_header_given_ && sequence_header_) {
    const std::vector<uint8_t> header = sequence_header_();
    sequence_header_given_ = !header.empty();
    if (sequence_header_given_) sink_->SetSequenceHeader(header.data(), header.size());
  }
  // An IDR picture without its SPS is a keyframe too: the sink puts the parameter sets ahead of it.
  const bool keyframe = HLSSink::IsKeyframe(buffer, size) || IsIdrAccessUnit(buffer, size);
  const int64_t now_ns = MonotonicNowNs();
  timeline_.FrameBeforeSessionStart(ClockTime(), now_ns);
  const std::optional<int64_t> time_us = timeline_.Stamp(sample_time, keyframe);
  if (!time_us) {
    if (timeline_.WaitingForKeyframe() && keyframe_wait_since_ns_ == 0) keyframe_wait_since_ns_ = now_ns;
    RequestKeyframeWhileWaiting(sample_time);
    return S_OK;
  }
  waiting_request_time_.reset();
  keyframe_wait_since_ns_ = 0;
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

void CSampleGrabber::RequestKeyframeWhileWaiting(int64_t sample_time) {
  // The request at a resume may be lost on an encoder that takes a while to honour one, or ignored: asked again
  // once a second, the video comes back at the first the encoder honours, or else at its own next keyframe.
  if (!request_keyframe_ || !timeline_.WaitingForKeyframe()) return;
  if (waiting_request_time_ && sample_time - *waiting_request_time_ < kKeyframeRequestInterval) return;
  waiting_request_time_ = sample_time;
  request_keyframe_();
}

void CSampleGrabber::Start(int64_t start_ns) {
  std::lock_guard<std::mutex> lock(mutex_);
  timeline_.Start(start_ns);
}

void CSampleGrabber::SessionStarted() {
  std::lock_guard<std::mutex> lock(mutex_);
  timeline_.SessionStarted(ClockTime(), MonotonicNowNs());
  keyframe_wait_since_ns_ = 0;  // a new encoder is given its time
  sequence_header_given_ = false;
  waiting_request_time_.reset();
}

void CSampleGrabber::Lost(int64_t now_ns) {
  std::lock_guard<std::mutex> lock(mutex_);
  timeline_.Lost(now_ns);
  keyframe_wait_since_ns_ = 0;
}

int64_t CSampleGrabber::LostUs() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return timeline_.LostUs();
}

int64_t CSampleGrabber::ClockTime() const {
  MFTIME time = 0;
  if (clock_ && FAILED(clock_->GetTime(&time))) time = 0;
  return time;
}

void CSampleGrabber::Pause() {
  std::lock_guard<std::mutex> lock(mutex_);
  timeline_.Pause(ClockTime(), MonotonicNowNs());
  keyframe_wait_since_ns_ = 0;  // a paused frame does not wait for a keyframe
}

void CSampleGrabber::Resume() {
  std::lock_guard<std::mutex> lock(mutex_);
  timeline_.Resume(ClockTime(), MonotonicNowNs());
}

void CSampleGrabber::Stop() {
  std::lock_guard<std::mutex> lock(mutex_);
  timeline_.Stop(MonotonicNowNs());
}

}  // namespace VellRecorder
