#include "recorder/recorder.h"

#include "exception.h"
#include "media_sources/video/videorecordingsettings.h"
#include "sessions/audiorecordingsession.h"
#include "sessions/hwscreenrecordingsession.h"
#include "sessions/swscreenrecordingsession.h"
#include "tracehr.h"
#include "utils/clock.h"
#include "utils/log.h"
#include "utils/textconv.h"

namespace VellRecorder {

Recorder::Recorder(std::wstring output_folder, PartFinished on_part_finished)
    : sink_(output_folder, std::move(on_part_finished)) {
  // Found out now rather than at the first frame, when the host application has long been told that the
  // recording runs.
  const std::string reason = sink_.PrepareOutputFolder();
  if (!reason.empty()) VELL_THROW("Unusable output folder \"" + ToUtf8(output_folder) + "\": " + reason);
}

// Members go in reverse order: the sessions end before the sink they write into.
Recorder::~Recorder() = default;

void Recorder::CreateScreenRecording(const std::wstring& display_name, RECT capture_rect, int32_t width,
                                     int32_t height) {
  width_ = width;
  height_ = height;
  const VideoRecordingSettings settings(display_name, capture_rect, SIZE{width, height});
  // The GPU path first; the software session records when it cannot be built. Chosen once per recording.
  sw_screen_session_.reset();
  hw_screen_session_ = std::make_unique<HWScreenRecordingSession>(settings, &sink_);
  const HRESULT hr = hw_screen_session_->Initialize();
  if (SUCCEEDED(hr)) return;
  LOG_WARNING << "hardware screen recording unavailable (" << HrText(hr) << "), recording in software";
  hw_screen_session_.reset();
  sw_screen_session_ = std::make_unique<SWScreenRecordingSession>(settings, &sink_);
  if (FAILED(sw_screen_session_->Initialize())) {
    sw_screen_session_.reset();
    VELL_THROW("Failed to create screen recording session");
  }
}

void Recorder::CreateCameraRecording(const std::wstring& camera_id, uint32_t width, uint32_t height) {
  width_ = width;
  height_ = height;
  LOG_ERROR << "camera recording is not available in this build; camera " << camera_id << " is not recorded";
}

void Recorder::CreateAudioRecording(bool system_audio, const std::wstring& microphone) {
  if (!system_audio && microphone.empty()) return;
  audio_session_.reset();
  audio_session_ = std::make_unique<AudioRecordingSession>(&sink_);
  if (system_audio) audio_session_->SetSystemAudioSource();
  if (!microphone.empty()) audio_session_->SetMicrophoneSource(microphone);
}

RecordingState::Verdict Recorder::Take(RecordingState::Step step, const char* what) {
  std::string reason;
  const RecordingState::Verdict verdict = state_.Take(step, &reason);
  if (verdict == RecordingState::Verdict::kRefuse) LOG_ERROR << "Refused to " << what << ": " << reason;
  return verdict;
}

bool Recorder::Start() {
  if (Take(RecordingState::Step::kStart, "start") != RecordingState::Verdict::kAct) return false;
  start_ns_ = MonotonicNowNs();
  if (audio_session_) audio_session_->Start(start_ns_);
  if (hw_screen_session_) hw_screen_session_->Start(start_ns_);
  if (sw_screen_session_) sw_screen_session_->Start(start_ns_);
  return true;
}

bool Recorder::Pause() {
  const RecordingState::Verdict verdict = Take(RecordingState::Step::kPause, "pause");
  if (verdict == RecordingState::Verdict::kAct) {
    if (audio_session_) audio_session_->Pause();
    if (hw_screen_session_) hw_screen_session_->Pause();
    if (sw_screen_session_) sw_screen_session_->Pause();
  }
  return verdict != RecordingState::Verdict::kRefuse;
}

bool Recorder::Resume() {
  const RecordingState::Verdict verdict = Take(RecordingState::Step::kResume, "resume");
  if (verdict == RecordingState::Verdict::kAct) {
    if (audio_session_) audio_session_->Resume();
    if (hw_screen_session_) {
      hw_screen_session_->Resume();
    } else if (sw_screen_session_) {
      sw_screen_session_->Resume();
    }
  }
  return verdict != RecordingState::Verdict::kRefuse;
}

void Recorder::Stop() {
  if (Take(RecordingState::Step::kStop, "stop") != RecordingState::Verdict::kAct) return;
  stop_ns_ = MonotonicNowNs();
  // A recording stopped before it started has no running time.
  if (start_ns_ == 0) start_ns_ = stop_ns_;
  if (audio_session_) audio_session_->Stop();
  if (hw_screen_session_) {
    hw_screen_session_->Stop();
  } else if (sw_screen_session_) {
    sw_screen_session_->Stop();
  }
  sink_.Finish();
}

std::vector<Metric> Recorder::GetMetrics() const {
  RecordingFigures figures;
  figures.start_ns = start_ns_;
  figures.stop_ns = stop_ns_;
  figures.video_frames = sink_.VideoFrameCount();
  figures.height = height_;
  figures.hardware_screen = hw_screen_session_ != nullptr;
  if (audio_session_) {
    for (const AudioRecordingSession::SourceFigures& source : audio_session_->GetSourceFigures()) {
      figures.audio_sources.push_back({source.flow, source.name, source.discontinuities});
    }
  }
  return ComputeMetrics(figures);
}

}  // namespace VellRecorder
