// The driver's side of an asynchronous transform's events: feeding it when it asks, and draining it. The loops
// themselves are HandOverFrame and DrainOutputs; this file answers their port with the transform.
#include <mfapi.h>
#include <mferror.h>

#include "media_transforms/asynchandover.h"
#include "media_transforms/media_foundation/mft.h"
#include "tracehr.h"
#include "utils/clock.h"

namespace VellRecorder::MediaFoundation {
namespace {

EncoderEvent Classify(MediaEventType type) {
  switch (type) {
    case METransformNeedInput:
      return EncoderEvent::kNeedInput;
    case METransformHaveOutput:
      return EncoderEvent::kHaveOutput;
    case METransformDrainComplete:
      return EncoderEvent::kDrainComplete;
    default:
      return EncoderEvent::kOther;
  }
}

// Lives for one loop, on the thread that drives the transform.
class TransformPort : public AsyncEncoderPort {
 public:
  TransformPort(MFT& mft, IMFSample* in, const MFT::Deliver& deliver, const MFT::EventSource& wait)
      : mft_(mft), in_(in), deliver_(deliver), wait_(wait) {}

  int32_t WaitForEvent(EncoderEvent* event, uint32_t* raw_type) override {
    MediaEventType type = MEUnknown;
    const HRESULT hr = wait_(&type);
    if (FAILED(hr)) return hr;
    *raw_type = type;
    *event = hr == S_FALSE ? EncoderEvent::kStopping : Classify(type);
    return S_OK;
  }
  int32_t FeedFrame() override { return mft_.ProcessInput(in_); }
  int32_t DeliverOutput() override {
    ComPtr<IMFSample> out;
    const HRESULT hr = mft_.ProcessOutput(&out);
    if (FAILED(hr)) return hr;
    deliver_(out.Get());
    return S_OK;
  }

 private:
  MFT& mft_;
  IMFSample* in_;
  const MFT::Deliver& deliver_;
  const MFT::EventSource& wait_;
};

}  // namespace

HRESULT MFT::FeedWhenAsked(IMFSample* in, const Deliver& deliver, const EventSource& wait) {
  const EventSource until_event = wait ? wait : [this](MediaEventType* type) { return WaitForEvent(type); };
  TransformPort port(*this, in, deliver, until_event);
  const EncodeStep step = HandOverFrame(port);
  if (step.status < 0) return VELL_TRACE_FAILURE(step.status);
  return step.fed ? S_OK : S_FALSE;
}

HRESULT MFT::DrainAndCollect(const Deliver& deliver, DWORD timeout_ms) {
  RETURN_IF_FAILED(Drain());
  if (!is_async_) {
    // A synchronous transform hands out everything it holds in one ProcessOutput; a stream change may
    // need a second call. The bound keeps a transform that never runs dry from holding the caller.
    ComPtr<IMFSample> sample;
    for (int call = 0; call < 64; ++call) {
      const HRESULT hr = ProcessOutput(&sample);
      if (hr == MF_E_TRANSFORM_NEED_MORE_INPUT) return S_OK;
      if (FAILED(hr)) return VELL_TRACE_FAILURE(hr);
      DWORD buffers = 0;
      if (SUCCEEDED(sample->GetBufferCount(&buffers)) && buffers > 0) deliver(sample.Get());
    }
    return S_OK;
  }
  const int64_t deadline_ns = MonotonicNowNs() + int64_t{timeout_ms} * 1000000;
  const EventSource until_deadline = [this, timeout_ms, deadline_ns](MediaEventType* type) {
    DWORD left_ms = INFINITE;
    if (timeout_ms != INFINITE) {
      const int64_t left_ns = deadline_ns - MonotonicNowNs();
      left_ms = left_ns > 0 ? static_cast<DWORD>((left_ns + 999999) / 1000000) : 0;
    }
    return WaitForEvent(type, left_ms);
  };
  TransformPort port(*this, nullptr, deliver, until_deadline);
  const EncodeStep step = DrainOutputs(port);
  if (step.status < 0) return VELL_TRACE_FAILURE(step.status);
  return S_OK;
}

}  // namespace VellRecorder::MediaFoundation
