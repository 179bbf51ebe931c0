#include "sessions/hwscreenrecordingsession.h"

#include <mfapi.h>
#include <mferror.h>

#include "muxers/hlssink.h"
#include "tracehr.h"
#include "utils/clock.h"
#include "utils/guardedthread.h"
#include "utils/log.h"
#include "utils/windowsversion.h"

namespace VellRecorder {
namespace {

constexpr uint8_t kFrameRate = 30;

void SleepMs(int64_t ms) {
  if (ms > 0) ::Sleep(static_cast<DWORD>(ms));
}

}  // namespace

HWScreenRecordingSession::HWScreenRecordingSession(VideoRecordingSettings settings, HLSSink* sink)
    : settings_(std::move(settings)), sink_(sink), resume_event_(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {
  if (!resume_event_.IsValid()) LogWinErr("Failed to create event");
}

HWScreenRecordingSession::~HWScreenRecordingSession() {
  Stop();
  // The transforms and the source use the frame's device: they go before it.
  encoder_.reset();
  video_processor_.reset();
  video_source_.reset();
}

HRESULT HWScreenRecordingSession::Initialize() {
  RETURN_IF_FAILED(LoadVideoSource());
  if (d3d_version_ == 1) {
    video_processor_ = std::make_unique<MediaFoundation::VideoProcessor>();
    // A processor that cannot convert to the output size would end the recording at its first frame: the
    // software session records instead.
    // The frame has the output's unrotated layout: the processor turns it upright.
    RETURN_IF_FAILED(video_processor_->Initialize(
        MediaFoundation::VideoProcessorFormat::ForFrame(frame_, settings_.OutputSize()),
        reinterpret_cast<ULONG_PTR>(frame_.GetDeviceManager()), MIRROR_NONE));
  }
  RETURN_IF_FAILED(LoadEncoder());
  return S_OK;
}

HRESULT HWScreenRecordingSession::LoadVideoSource() {
  // Desktop duplication exists from Windows 8 (6.2) on.
  if (!IsWindowsVersionOrGreater(6, 2, 0)) return E_NOTIMPL;
  RETURN_IF_FAILED(InitD3D11Frame());
  video_source_ = std::make_unique<DDASource>(settings_);
  RETURN_IF_FAILED(video_source_->Initialize(&frame_));
  return S_OK;
}

HRESULT HWScreenRecordingSession::InitD3D11Frame() {
  RETURN_IF_FAILED(frame_.Initialize(settings_.DisplayName(), settings_.CaptureSize()));
  d3d_version_ = 1;
  return S_OK;
}

IMFDXGIDeviceManager* HWScreenRecordingSession::GetD3DManagerPtr() {
  if (d3d_version_ == 1) return frame_.GetDeviceManager();
  LOG_ERROR << "no D3D version selected";
  return nullptr;
}

HRESULT HWScreenRecordingSession::LoadEncoder() {
  const SIZE output = settings_.OutputSize();
  MediaFoundation::EncoderSettings encoder_settings = MediaFoundation::EncoderSettings::Recording(
      static_cast<uint32_t>(output.cx), static_cast<uint32_t>(output.cy), kFrameRate);
  encoder_settings.device_manager = GetD3DManagerPtr();
  // One encoder instance at a time: hardware encoders limit their sessions.
  encoder_.reset();
  encoder_ = std::make_unique<MediaFoundation::H264Encoder>(encoder_settings);
  sequence_header_given_ = false;
  const HRESULT hr = encoder_->Initialize();
  if (FAILED(hr)) encoder_.reset();  // nothing is to be drained from an encoder that never started
  RETURN_IF_FAILED(hr);
  return S_OK;
}

DDASource* HWScreenRecordingSession::GetVideoSource() {
  if (!video_source_) LOG_ERROR << "No video source loaded";
  return video_source_.get();
}

void HWScreenRecordingSession::Start(int64_t start_time_ns) {
  if (!encoder_ || !video_source_) {
    LOG_ERROR << "Start without a successful Initialize";
    return;
  }
  if (capture_thread_.joinable()) {
    LOG_ERROR << "Start called twice";
    return;
  }
  running_ = true;
  timeline_.Start(start_time_ns, encoder_->GetSettings().frame_rate);
  capture_thread_ = LaunchGuardedThread([this] { CaptureLoop(); });
}

void HWScreenRecordingSession::Pause() {
  pauses_.Paused(MonotonicNowNs());
  paused_ = true;
}

void HWScreenRecordingSession::Resume() {
  pauses_.Resumed(MonotonicNowNs());
  paused_ = false;
  if (resume_event_.IsValid()) SetEvent(resume_event_.Get());
}

void HWScreenRecordingSession::Stop() {
  running_ = false;
  // After running_ is cleared: a paused thread wakes, finds it cleared and drains.
  if (resume_event_.IsValid()) SetEvent(resume_event_.Get());
  if (capture_thread_.joinable()) capture_thread_.join();
}

void HWScreenRecordingSession::CaptureLoop() {
  while (RunIteration()) {
  }
}

const char* HWScreenRecordingSession::EndReasonName(EndReason reason) {
  switch (reason) {
    case EndReason::kDuplicationLost:
      return "duplication_lost";
    case EndReason::kCaptureFailed:
      return "capture_failed";
    case EndReason::kProcessorFailed:
      return "processor_failed";
    case EndReason::kEncoderFailed:
      return "encoder_failed";
  }
  return "unknown";
}

bool HWScreenRecordingSession::RunIteration() {
  const int64_t t0 = MonotonicNowNs();
  EndReason reason = EndReason::kCaptureFailed;
  if (FAILED(ProcessFrame(&reason))) {
    EndOnFailure(reason);
    return false;
  }
  WaitWhilePaused();
  if (!running_) {
    Drain();
    return false;
  }
  // Every loop is paced, whether or not an output came back yet: a processor that keeps its inputs must not
  // make the loop spin.
  SleepMs(kLoopIntervalMs - (MonotonicNowNs() - t0) / 1000000);
  return true;
}

HRESULT HWScreenRecordingSession::ProcessFrame(EndReason* reason) {
  ComPtr<IMFSample> sample;
  HRESULT hr = Capture(&sample);
  if (FAILED(hr)) {
    LOG_ERROR << "Failed to capture: " << HrText(hr);
    *reason = hr == DXGI_ERROR_ACCESS_LOST ? EndReason::kDuplicationLost : EndReason::kCaptureFailed;
    return hr;
  }
  ComPtr<IMFSample> processed;
  hr = PreProcess(sample.Get(), &processed);
  if (hr == MF_E_TRANSFORM_NEED_MORE_INPUT && ++held_inputs_ <= kHeldInputsLimit) return S_OK;
  if (hr == MF_E_TRANSFORM_NEED_MORE_INPUT) hr = VELL_TRACE_FAILURE(MF_E_UNEXPECTED);  // it keeps every frame
  if (FAILED(hr)) {
    LOG_ERROR << "Failed to preprocess: " << HrText(hr);
    *reason = EndReason::kProcessorFailed;
    return hr;
  }
  held_inputs_ = 0;
  hr = Encode(processed.Get());
  if (FAILED(hr)) {
    LOG_ERROR << "Failed to encode: " << HrText(hr);
    *reason = EndReason::kEncoderFailed;
    return hr;
  }
  return S_OK;
}

void HWScreenRecordingSession::EndOnFailure(EndReason reason) {
  // The encoder may hold frames older than the failure; a broken one gives up within the drain's bound.
  Drain();
  LOG_ERROR << "GPU screen capture ended: " << EndReasonName(reason);
  if (on_ended_) on_ended_(reason);
}

void HWScreenRecordingSession::WaitWhilePaused() {
  if (!paused_) return;
  // A resume signal left over from an earlier quick Pause/Resume does not end this pause: wait until the flag
  // itself is cleared (or Stop clears running_, and sets the event).
  while (paused_ && running_) WaitForSingleObject(resume_event_.Get(), INFINITE);
}

HRESULT HWScreenRecordingSession::Capture(ComPtr<IMFSample>* sample) {
  DDASource* source = GetVideoSource();
  if (!source) return VELL_TRACE_FAILURE(E_POINTER);
  const HRESULT captured = source->CaptureToD3DFrame();
  // Any other failure was traced by the source; the frame still shows the previous image.
  if (captured == DXGI_ERROR_ACCESS_LOST) RETURN_IF_FAILED(RecoverDuplication());

  timeline_.Exclude(pauses_.TakeEnded());
  const SampleTimeline::Stamp stamp = timeline_.Next(MonotonicNowNs());
  RETURN_IF_FAILED(MFCreateSample(sample->ReleaseAndGetAddressOf()));
  RETURN_IF_FAILED((*sample)->AddBuffer(frame_.GetMFBuffer()));
  RETURN_IF_FAILED((*sample)->SetSampleTime(stamp.time));
  RETURN_IF_FAILED((*sample)->SetSampleDuration(stamp.duration));
  return S_OK;
}

HRESULT HWScreenRecordingSession::RecoverDuplication() {
  if (failed_recreations_ == 0) LOG_WARNING << "Desktop duplication lost; making it again";
  HRESULT hr = video_source_->LoadOutputDuplication();
  while (FAILED(hr) && ++failed_recreations_ < kDuplicationAttempts && running_ && hr == E_ACCESSDENIED) {
    SleepMs(kDuplicationRetryMs);
    hr = video_source_->LoadOutputDuplication();
  }
  if (FAILED(hr) && failed_recreations_ >= kDuplicationAttempts) {
    LOG_ERROR << "Desktop duplication could not be made again in " << failed_recreations_
              << " attempts: " << HrText(hr);
    return DXGI_ERROR_ACCESS_LOST;
  }
  // Without a duplication the loop goes on with the last image and tries again at the next capture; the
  // encoder is rebuilt only once the desktop is duplicated again.
  if (FAILED(hr)) return S_OK;
  failed_recreations_ = 0;
  // What the old encoder still holds belongs before the new encoder's first frame, a keyframe.
  Drain();
  RETURN_IF_FAILED(LoadEncoder());
  return S_OK;
}

HRESULT HWScreenRecordingSession::PreProcess(IMFSample* sample, ComPtr<IMFSample>* processed) {
  if (!video_processor_) {
    LOG_ERROR << "No video processor was instantiated";
    return E_FAIL;
  }
  const HRESULT hr = video_processor_->Encode(sample, processed);
  if (FAILED(hr)) return VELL_TRACE_FAILURE(hr);
  return hr;
}

HRESULT HWScreenRecordingSession::Encode(IMFSample* processed) {
  LONGLONG time = 0;
  if (SUCCEEDED(processed->GetSampleTime(&time)) && keyframes_.Due(time / 10)) encoder_->RequestKeyframe();
  if (encoder_->IsAsync()) return EncodeAsync(processed);
  ComPtr<IMFSample> encoded;
  const HRESULT hr = encoder_->Encode(processed, &encoded);
  if (hr == MF_E_TRANSFORM_NEED_MORE_INPUT) return S_OK;  // held back by the encoder, delivered later
  if (FAILED(hr)) return VELL_TRACE_FAILURE(hr);
  MuxEncoded(encoded.Get());
  return S_OK;
}

HRESULT HWScreenRecordingSession::EncodeAsync(IMFSample* processed) {
  // Left out when stopping (the drain follows) or when the encoder reported its drain complete. A failure
  // was recorded where it happened.
  const HRESULT hr = encoder_->FeedWhenAsked(
      processed, [this](IMFSample* encoded) { MuxEncoded(encoded); },
      [this](MediaEventType* type) { return WaitForEncoderEvent(type); });
  return FAILED(hr) ? hr : S_OK;
}

HRESULT HWScreenRecordingSession::WaitForEncoderEvent(MediaEventType* type) {
  const int64_t give_up_ns = MonotonicNowNs() + int64_t{kEncoderSilenceMs} * 1000000;
  for (;;) {
    const HRESULT hr = encoder_->WaitForEvent(type, kEventSliceMs);
    if (hr != MediaFoundation::kEventWaitTimedOut) return hr;
    if (!running_) return S_FALSE;
    if (MonotonicNowNs() >= give_up_ns) {
      LOG_ERROR << "The encoder sent no event for " << kEncoderSilenceMs << " ms";
      return VELL_TRACE_FAILURE(hr);
    }
  }
}

HRESULT HWScreenRecordingSession::Drain() {
  if (!encoder_) return S_OK;
  // Ends at the encoder's last output, at the first failure to wait for an event or to collect an output, or
  // at the time limit, so that a broken encoder cannot keep Stop from returning.
  RETURN_IF_FAILED(encoder_->DrainAndCollect([this](IMFSample* encoded) { MuxEncoded(encoded); }, kDrainLimitMs));
  return S_OK;
}

void HWScreenRecordingSession::MuxEncoded(IMFSample* encoded) {
  DWORD length = 0;
  // A sample without bytes (after a stream change) is not a frame of the stream.
  if (!encoded || FAILED(encoded->GetTotalLength(&length)) || length == 0) return;
  // Encoders that keep the parameter sets out of band publish them by their first output; each encoder's own.
  if (!sequence_header_given_ && encoder_) {
    const std::vector<uint8_t> header = encoder_->SequenceHeader();
    sequence_header_given_ = !header.empty();
    if (sequence_header_given_) sink_->SetSequenceHeader(header.data(), header.size());
  }
  sink_->Mux(encoded, StreamKind::kVideo);
}

}  // namespace VellRecorder
