#include "sessions/audiorecordingsession.h"

#include <algorithm>
#include <chrono>
#include <string>

#include "muxers/hlssink.h"
#include "tracehr.h"
#include "utils/clock.h"
#include "utils/guardedthread.h"
#include "utils/log.h"

namespace VellRecorder {
AudioRecordingSession::AudioRecordingSession(HLSSink* sink) : sink_(sink) {}

AudioRecordingSession::~AudioRecordingSession() {
  Stop();
  StopSilence();
  // The microphone before the system audio; the encoder after the sources.
  microphone_.lane.reset();
  system_audio_.lane.reset();
  encoder_.reset();
}

std::unique_ptr<AudioRecordingSession::Lane> AudioRecordingSession::OpenLane(const AudioSourceConfig& config) {
  auto lane = std::make_unique<Lane>();
  lane->source = std::make_unique<AudioSource>(config);
  // May throw when the microphone is refused: the recording cannot go on as asked.
  HRESULT hr = lane->source->Initialize();
  if (SUCCEEDED(hr) && !lane->source->IsInitialized()) hr = E_UNEXPECTED;
  if (FAILED(hr)) {
    LOG_ERROR << DescribeSource(config) << " cannot be recorded and is left out of the recording: " << HrTextWithCode(hr);
    return nullptr;
  }
  hr = BuildConversion(lane.get());
  if (FAILED(hr)) {
    LOG_ERROR << DescribeSource(config) << " cannot be resampled and is left out of the recording: " << HrTextWithCode(hr);
    return nullptr;
  }
  return lane;
}

HRESULT AudioRecordingSession::BuildConversion(Lane* lane) {
  lane->format = *lane->source->GetCaptureFormatExtensible();
  const uint32_t bytes_per_second = lane->format.Format.nAvgBytesPerSec;
  lane->ring = std::make_unique<AudioRingBuffer>(bytes_per_second);
  lane->staged.clear();
  lane->staged.reserve(bytes_per_second);
  lane->resampler.reset();
  lane->resampler = std::make_unique<MediaFoundation::AudioResampler>(
      lane->format, MediaFoundation::AudioResampler::RecordingFormat());
  RETURN_IF_FAILED(lane->resampler->Initialize());
  return S_OK;
}

void AudioRecordingSession::SetSystemAudioSource() {
  system_audio_ = Requested{true, AudioSourceConfig{0, L""}, nullptr};
  system_audio_.lane = OpenLane(system_audio_.config);
}

void AudioRecordingSession::SetMicrophoneSource(const std::wstring& name) {
  microphone_ = Requested{true, AudioSourceConfig{1, name}, nullptr};
  microphone_.lane = OpenLane(microphone_.config);
}

HRESULT AudioRecordingSession::Initialize() {
  const MediaFoundation::AACEncoderSettings settings = MediaFoundation::AACEncoder::RecordingSettings();
  encoder_.reset();
  encoder_ = std::make_unique<MediaFoundation::AACEncoder>(settings);
  const HRESULT hr = encoder_->Initialize();
  if (FAILED(hr)) {
    encoder_.reset();
    return VELL_TRACE_FAILURE(hr);
  }
  silence_.Start();
  frame_buffer_.resize(settings.in_wfx.nAvgBytesPerSec);
  return S_OK;
}

void AudioRecordingSession::Start(int64_t start_ns) {
  if (capture_thread_.joinable() || encoder_) {
    LOG_ERROR << "Start called twice";
    return;
  }
  lanes_.clear();
  if (system_audio_.lane) lanes_.push_back(system_audio_.lane.get());
  if (microphone_.lane) lanes_.push_back(microphone_.lane.get());
  if (lanes_.empty()) {
    LOG_ERROR << "no audio source could be opened: the recording has no sound";
    return;
  }
  if (FAILED(Initialize())) {
    encoder_failed_ = true;
    LOG_ERROR << "no AAC encoder: the recording has no sound";
    return;
  }
  mixer_ = std::make_unique<AudioMixer>(lanes_.size());
  start_ns_ = start_ns;
  timeline_.Start(start_ns);
  {
    std::lock_guard<std::mutex> lock(state_mutex_);
    running_ = true;
  }
  capture_thread_ = LaunchGuardedThread([this] { CaptureLoop(); });
}

void AudioRecordingSession::Pause() {
  std::lock_guard<std::mutex> lock(state_mutex_);
  if (paused_) return;
  paused_ = true;
  pause_began_ns_ = MonotonicNowNs();
  state_changed_.notify_all();
}

void AudioRecordingSession::Resume() {
  std::lock_guard<std::mutex> lock(state_mutex_);
  if (!paused_) return;
  paused_ = false;
  paused_total_ns_ += MonotonicNowNs() - pause_began_ns_;
  state_changed_.notify_all();
}

void AudioRecordingSession::Stop() {
  {
    std::lock_guard<std::mutex> lock(state_mutex_);
    running_ = false;
    state_changed_.notify_all();
  }
  if (capture_thread_.joinable()) {
    if (capture_thread_.get_id() == std::this_thread::get_id()) {
      LOG_ERROR << "Stop called from the capture thread";
    } else {
      capture_thread_.join();
    }
  }
}

std::vector<AudioRecordingSession::SourceFigures> AudioRecordingSession::GetSourceFigures() const {
  std::vector<SourceFigures> figures;
  for (const Requested* requested : {&system_audio_, &microphone_}) {
    if (!requested->wanted) continue;
    SourceFigures source{requested->config.flow, requested->config.device_name};
    if (const Lane* lane = requested->lane.get()) {
      source.recorded = !encoder_failed_;
      const uint64_t count = lane->source->GetDiscontinuityCount();
      const uint64_t excused = lane->excused_discontinuities.load();
      source.discontinuities = count > excused ? count - excused : 0;
      source.lost_ns = lane->lost_ns;
    }
    figures.push_back(std::move(source));
  }
  return figures;
}

void AudioRecordingSession::CaptureLoop() {
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
  // What the endpoints captured between their opening and the start is not part of the recording.
  stretch_began_ns_ = start_ns_;
  BeginStretch();
  for (;;) {
    const int64_t turn_start = MonotonicNowNs();
    RunTurn(false);
    if (!WaitForNextTurn(turn_start)) break;
  }
  DrainEncoder();
}

bool AudioRecordingSession::WaitForNextTurn(int64_t turn_start_ns) {
  std::unique_lock<std::mutex> lock(state_mutex_);
  const auto next_turn = std::chrono::steady_clock::now() +
                         std::chrono::nanoseconds(kLoopIntervalUs * 1000 - (MonotonicNowNs() - turn_start_ns));
  state_changed_.wait_until(lock, next_turn, [this] { return !running_ || paused_; });
  if (!running_) {
    // The sound up to the stop belongs to the recording.
    lock.unlock();
    RunTurn(true);
    return false;
  }
  if (!paused_) return true;
  // The sound up to the pause belongs to the recording; then the thread parks until Resume or Stop.
  lock.unlock();
  RunTurn(true);
  lock.lock();
  state_changed_.wait(lock, [this] { return !running_ || !paused_; });
  if (!running_) return false;
  const int64_t paused_ns = paused_total_ns_;
  lock.unlock();
  timeline_.BeginStretch(paused_ns);
  stretch_began_ns_ = MonotonicNowNs();
  BeginStretch();
  return true;
}

void AudioRecordingSession::RunTurn(bool stretch_ends) {
  const int64_t now = MonotonicNowNs();
  for (Lane* lane : lanes_) {
    Watch(lane, now);
    Capture(lane, now);
  }
  for (size_t i = 0; i < lanes_.size(); ++i) {
    Resample(i, lanes_[i]);
    FillWhileLost(i, lanes_[i], now);
  }
  MixAndEncode(stretch_ends);
}

void AudioRecordingSession::BeginStretch() {
  for (Lane* lane : lanes_) {
    if (!lane->lost) {
      // Whatever the endpoint queued meanwhile is taken and thrown away; an overrun it reports was caused by
      // not polling, not by a glitch in the recorded sound.
      const uint64_t before = lane->source->GetDiscontinuityCount();
      const HRESULT hr = lane->source->Capture(lane->ring.get());
      lane->excused_discontinuities += lane->source->GetDiscontinuityCount() - before;
      if (FAILED(hr)) Lose(lane, HrTextWithCode(hr));
    }
    ResetStretch(lane);
    lane->sound_at_ns = MonotonicNowNs();
  }
  mixer_->Clear();
  // Less than a chunk of the previous stretch: it cannot be stamped consistently with the next one.
  mix_.clear();
}

}  // namespace VellRecorder
