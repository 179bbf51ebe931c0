#include "recorder/recorder.h"

#include "exception.h"
#include "media_sources/video/videorecordingsettings.h"
#include "sessions/audiorecordingsession.h"
#include "sessions/camerarecordingsession.h"
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
  // The GPU path first; the software session records when it cannot be built, or when the GPU session ends on a
  // failure it cannot recover from while recording.
  screen_.reset();
  screen_ = std::make_unique<ScreenRecording>(settings, &sink_);
  if (!screen_->Initialize()) {
    screen_.reset();
    VELL_THROW("Failed to create screen recording session");
  }
}

void Recorder::CreateCameraRecording(const std::wstring& camera_id, uint32_t width, uint32_t height) {
  width_ = width;
  height_ = height;
  camera_session_ = std::make_unique<CameraRecordingSession>(camera_id, width, height, &sink_);
  // Ended in order, like a screen recording that cannot be built: the host application would otherwise be told
  // that a recording runs which records nothing.
  if (FAILED(camera_session_->Initialize())) {
    camera_session_.reset();
    VELL_THROW("Failed to create camera recording session");
  }
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
  if (camera_session_) camera_session_->Start(start_ns_);
  if (audio_session_) audio_session_->Start(start_ns_);
  if (screen_) screen_->Start(start_ns_);
  return true;
}

template <typename Act>
bool Recorder::TakeForEachSession(RecordingState::Step step, const char* what, Act act) {
  const RecordingState::Verdict verdict = Take(step, what);
  if (verdict == RecordingState::Verdict::kAct) {
    if (camera_session_) act(*camera_session_);
    if (audio_session_) act(*audio_session_);
    if (screen_) act(*screen_);
  }
  return verdict != RecordingState::Verdict::kRefuse;
}

bool Recorder::Pause() {
  return TakeForEachSession(RecordingState::Step::kPause, "pause", [](auto& session) { session.Pause(); });
}

bool Recorder::Resume() {
  return TakeForEachSession(RecordingState::Step::kResume, "resume", [](auto& session) { session.Resume(); });
}

void Recorder::Stop() {
  if (Take(RecordingState::Step::kStop, "stop") != RecordingState::Verdict::kAct) return;
  stop_ns_ = MonotonicNowNs();
  // A recording stopped before it started has no running time.
  if (start_ns_ == 0) start_ns_ = stop_ns_;
  if (camera_session_) camera_session_->Stop();
  if (audio_session_) audio_session_->Stop();
  if (screen_) screen_->Stop();
  if (audio_session_) audio_session_->StopSilence();
  sink_.Finish();
  const int64_t first_frame_ns = sink_.FirstVideoFrameNs();
  if (first_frame_ns != 0) {
    LOG_DEBUG << "the first video frame was written " << (first_frame_ns - start_ns_) / 1000000
              << " ms after the start";
  }
}

std::vector<Metric> Recorder::GetMetrics() const {
  RecordingFigures figures;
  figures.start_ns = start_ns_;
  figures.stop_ns = stop_ns_;
  figures.video_frames = sink_.VideoFrameCount();
  figures.height = height_;
  if (screen_) {
    const ScreenRecording::Outcome screen = screen_->GetOutcome();
    figures.hardware_screen = screen.hardware;
    figures.hardware_ended_reason = screen.ended_reason;
    figures.hardware_ended_ns = screen.ended_ns;
    figures.software_took_over = screen.software_took_over;
  }
  figures.camera = camera_session_ != nullptr;
  if (camera_session_) {
    figures.camera_name = camera_session_->CameraName();
    figures.camera_lost_ms = camera_session_->VideoLostMs();
  }
  if (audio_session_) {
    for (const AudioRecordingSession::SourceFigures& source : audio_session_->GetSourceFigures()) {
      figures.audio_sources.push_back(
          {source.flow, source.name, source.discontinuities, source.lost_ns, source.recorded});
    }
  }
  return ComputeMetrics(figures);
}

}  // namespace VellRecorder
