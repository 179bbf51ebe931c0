#include "recorder/screenrecording.h"

#include <exception>

#include "sessions/swscreenrecordingsession.h"
#include "tracehr.h"
#include "utils/clock.h"
#include "utils/log.h"

namespace VellRecorder {

using Lock = std::lock_guard<std::mutex>;

ScreenRecording::ScreenRecording(VideoRecordingSettings settings, HLSSink* sink)
    : settings_(std::move(settings)), sink_(sink) {}

ScreenRecording::~ScreenRecording() {
  // The GPU session's thread may be building the software session: it ends first.
  Stop();
}

bool ScreenRecording::Initialize() {
  const int64_t began_ns = MonotonicNowNs();
  hw_ = std::make_unique<HWScreenRecordingSession>(settings_, sink_);
  const HRESULT hr = hw_->Initialize();
  LOG_DEBUG << "the hardware session took " << (MonotonicNowNs() - began_ns) / 1000000 << " ms to "
            << (SUCCEEDED(hr) ? "build" : "fail");
  if (SUCCEEDED(hr)) {
    hw_->SetEndedCallback([this](HWScreenRecordingSession::EndReason reason) { OnHardwareEnded(reason); });
    outcome_.hardware = true;
    return true;
  }
  LOG_WARNING << "hardware screen recording unavailable (" << HrText(hr) << "), recording in software";
  hw_.reset();
  auto sw = std::make_unique<SWScreenRecordingSession>(settings_, sink_);
  if (FAILED(sw->Initialize())) return false;
  Lock lock(mutex_);
  sw_ = std::move(sw);
  return true;
}

void ScreenRecording::Start(int64_t start_ns) {
  {
    Lock lock(mutex_);
    start_ns_ = start_ns;
    if (sw_) sw_->Start(start_ns);
  }
  if (hw_) hw_->Start(start_ns);
}

void ScreenRecording::Pause() {
  Lock lock(mutex_);
  if (paused_) return;
  paused_ = true;
  pause_began_ns_ = MonotonicNowNs();
  if (hw_) hw_->Pause();
  if (sw_) sw_->Pause();
}

void ScreenRecording::Resume() {
  Lock lock(mutex_);
  if (!paused_) return;
  paused_ = false;
  paused_ns_ += MonotonicNowNs() - pause_began_ns_;
  if (hw_) hw_->Resume();
  if (sw_) sw_->Resume();
}

void ScreenRecording::Stop() {
  {
    Lock lock(mutex_);
    stopping_ = true;
  }
  // Not under the lock: the GPU session's thread may be waiting for it to take over in software.
  if (hw_) hw_->Stop();
  Lock lock(mutex_);
  if (sw_) sw_->Stop();
}

ScreenRecording::Outcome ScreenRecording::GetOutcome() const {
  Lock lock(mutex_);
  return outcome_;
}

void ScreenRecording::OnHardwareEnded(HWScreenRecordingSession::EndReason reason) {
  Lock lock(mutex_);
  if (stopping_) return;  // the recording ends anyway
  const int64_t now_ns = MonotonicNowNs();
  outcome_.hardware = false;
  outcome_.ended_reason = HWScreenRecordingSession::EndReasonName(reason);
  outcome_.ended_ns = now_ns;
  outcome_.software_took_over = TakeOverInSoftware(now_ns);
  if (outcome_.software_took_over) {
    LOG_WARNING << "Screen recording goes on in software after the GPU capture ended (" << outcome_.ended_reason
                << ")";
  } else {
    LOG_ERROR << "Screen recording ended (" << outcome_.ended_reason << "): no more video is recorded";
  }
}

bool ScreenRecording::TakeOverInSoftware(int64_t now_ns) {
  auto sw = std::make_unique<SWScreenRecordingSession>(settings_, sink_);
  try {
    if (FAILED(sw->Initialize())) return false;
  } catch (const std::exception& e) {
    LOG_ERROR << "The software screen session could not be built: " << e.what();
    return false;
  }
  // Into the part under way: the software encoder's first frame is a keyframe with its parameter sets, and the
  // parts stay cut on their 4-second boundaries.
  // Its time line goes on from the GPU session's: the time paused so far, this pause included, is left out.
  const int64_t paused_ns = paused_ns_ + (paused_ ? now_ns - pause_began_ns_ : 0);
  if (paused_) sw->Pause();
  sw->Start(start_ns_ + paused_ns);
  sw_ = std::move(sw);
  return true;
}

}  // namespace VellRecorder
