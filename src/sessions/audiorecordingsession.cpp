#include "sessions/audiorecordingsession.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

#include "muxers/hlssink.h"
#include "tracehr.h"
#include "utils/clock.h"
#include "utils/guardedthread.h"
#include "utils/log.h"

namespace VellRecorder {
namespace {

// "system audio" or "microphone \"name\"", for the records about a source.
std::wstring Describe(const AudioSourceConfig& config) {
  return config.flow == 0 ? L"system audio" : L"microphone \"" + config.device_name + L"\"";
}

// The system text and the code: WASAPI's codes have no system text.
std::string Reason(HRESULT hr) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(hr));
  return HrText(hr) + " (" + code + ")";
}

}  // namespace

AudioRecordingSession::AudioRecordingSession(HLSSink* sink) : sink_(sink) {}

AudioRecordingSession::~AudioRecordingSession() {
  Stop();
  // The microphone before the system audio; the encoder after the sources.
  microphone_.reset();
  system_audio_.reset();
  encoder_.reset();
}

std::unique_ptr<AudioRecordingSession::Lane> AudioRecordingSession::OpenLane(const AudioSourceConfig& config) {
  auto lane = std::make_unique<Lane>();
  lane->source = std::make_unique<AudioSource>(config);
  // May throw when the microphone is refused: the recording cannot go on as asked.
  HRESULT hr = lane->source->Initialize();
  if (SUCCEEDED(hr) && !lane->source->IsInitialized()) hr = E_UNEXPECTED;
  if (FAILED(hr)) {
    LOG_ERROR << Describe(config) << " cannot be recorded and is left out of the recording: " << Reason(hr);
    return nullptr;
  }
  const WAVEFORMATEXTENSIBLE& format = *lane->source->GetCaptureFormatExtensible();
  lane->ring = std::make_unique<AudioRingBuffer>(format.Format.nAvgBytesPerSec);
  lane->staged.reserve(format.Format.nAvgBytesPerSec);
  lane->resampler = std::make_unique<MediaFoundation::AudioResampler>(
      format, MediaFoundation::AudioResampler::RecordingFormat());
  hr = lane->resampler->Initialize();
  if (FAILED(hr)) {
    LOG_ERROR << Describe(config) << " cannot be resampled and is left out of the recording: " << Reason(hr);
    return nullptr;
  }
  return lane;
}

void AudioRecordingSession::SetSystemAudioSource() {
  system_audio_.reset();
  system_audio_ = OpenLane(AudioSourceConfig{0, L""});
}

void AudioRecordingSession::SetMicrophoneSource(const std::wstring& name) {
  microphone_.reset();
  microphone_ = OpenLane(AudioSourceConfig{1, name});
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
  if (system_audio_) lanes_.push_back(system_audio_.get());
  if (microphone_) lanes_.push_back(microphone_.get());
  if (lanes_.empty()) {
    LOG_ERROR << "no audio source could be opened: the recording has no sound";
    return;
  }
  if (FAILED(Initialize())) {
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
  silence_.Stop();
}

std::vector<AudioRecordingSession::SourceFigures> AudioRecordingSession::GetSourceFigures() const {
  std::vector<SourceFigures> figures;
  for (const Lane* lane : {system_audio_.get(), microphone_.get()}) {
    if (!lane) continue;
    const AudioSourceConfig& config = lane->source->GetConfig();
    const uint64_t count = lane->source->GetDiscontinuityCount();
    const uint64_t excused = lane->excused_discontinuities.load();
    figures.push_back({config.flow, config.device_name, count > excused ? count - excused : 0});
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
  for (Lane* lane : lanes_) Capture(lane);
  for (size_t i = 0; i < lanes_.size(); ++i) Resample(i, lanes_[i]);
  MixAndEncode(stretch_ends);
}

void AudioRecordingSession::BeginStretch() {
  for (Lane* lane : lanes_) {
    // Whatever the endpoint queued meanwhile is taken and thrown away; an overrun it reports was caused by
    // not polling, not by a glitch in the recorded sound.
    const uint64_t before = lane->source->GetDiscontinuityCount();
    lane->source->Capture(lane->ring.get());
    lane->excused_discontinuities += lane->source->GetDiscontinuityCount() - before;
    lane->ring->Clear();
    lane->staged.clear();
    lane->resampler->GetTransform()->ProcessMessage(MFT_MESSAGE_COMMAND_FLUSH, 0);
    lane->placement.Reset();
    lane->captured_bytes = 0;
    lane->held.clear();
    lane->in_mix = false;
  }
  mixer_->Clear();
  // Less than a chunk of the previous stretch: it cannot be stamped consistently with the next one.
  mix_.clear();
}

void AudioRecordingSession::Capture(Lane* lane) {
  CaptureResult result;
  const HRESULT hr = lane->source->Capture(lane->ring.get(), &result);
  if (FAILED(hr) || result.bytes == 0) return;
  const WAVEFORMATEX& format = *lane->source->GetCaptureFormat();
  // Without a device position, the bytes were captured over the time they last, up to now at the latest.
  const int64_t first_ns =
      result.first_packet_qpc_100ns > 0
          ? result.first_packet_qpc_100ns * 100
          : MonotonicNowNs() - CounterToNanoseconds(static_cast<int64_t>(result.bytes), format.nAvgBytesPerSec);
  if (!lane->placement.Begun()) {
    lane->placement.Begin(first_ns, format.nAvgBytesPerSec, format.nBlockAlign);
    lane->captured_bytes = result.bytes;
    return;
  }
  int64_t correction = 0;
  if (result.gap_qpc_100ns > 0) {
    FillLostSound(lane, result);
    // The packet after the gap, behind the silence put before it.
    correction = lane->placement.Observe(result.gap_qpc_100ns * 100, lane->captured_bytes + result.bytes_before_gap);
  } else {
    correction = lane->placement.Observe(first_ns, lane->captured_bytes);
  }
  lane->captured_bytes += result.bytes;
  if (correction != 0) Correct(lane, correction);
}

// Samples are stamped by their count, so sound the endpoint lost (an overrun while the thread was held up) or
// that did not fit the ring would pull all later sound earlier than its picture. Silence takes the lost sound's
// place, between the bytes before the gap and those after it (both wait in the ring, behind the staged bytes).
void AudioRecordingSession::FillLostSound(Lane* lane, const CaptureResult& result) {
  const uint64_t silence =
      lane->placement.GapSilence(result.gap_qpc_100ns * 100, lane->captured_bytes + result.bytes_before_gap);
  if (silence == 0) return;
  const size_t staged = lane->staged.size();
  lane->staged.resize(staged + result.bytes_before_gap);
  lane->ring->Read(lane->staged.data() + staged, result.bytes_before_gap);
  AppendSilence(lane, silence);
  if (!fill_logged_) {
    fill_logged_ = true;
    const uint32_t rate = lane->source->GetCaptureFormat()->nAvgBytesPerSec;
    LOG_WARNING << Describe(lane->source->GetConfig()) << " lost "
                << CounterToNanoseconds(static_cast<int64_t>(silence), rate) / 1000000
                << " ms of sound: silence takes its place; later losses are only counted";
  }
}

// Silence after the staged bytes, placed and counted as sound the endpoint did not deliver.
void AudioRecordingSession::AppendSilence(Lane* lane, uint64_t bytes) {
  lane->staged.insert(lane->staged.end(), static_cast<size_t>(bytes), 0);
  lane->captured_bytes += bytes;
  filled_bytes_ += bytes;
}

// Brings the sound placed so far back to its capture times (see CapturePlacement): silence after it, or its last
// bytes left out, as many as wait for the resampler.
void AudioRecordingSession::Correct(Lane* lane, int64_t bytes) {
  lane->ring->ReadAll(&lane->staged);
  if (bytes > 0) {
    AppendSilence(lane, static_cast<uint64_t>(bytes));
    return;
  }
  const WAVEFORMATEX& format = *lane->source->GetCaptureFormat();
  const uint32_t block = format.nBlockAlign;
  size_t drop = std::min(static_cast<size_t>(-bytes), lane->staged.size());
  drop -= drop % block;
  lane->staged.resize(lane->staged.size() - drop);
  lane->captured_bytes -= drop;
  dropped_ahead_bytes_ += drop;
  if (drop_logged_ || drop == 0) return;
  drop_logged_ = true;
  LOG_WARNING << Describe(lane->source->GetConfig()) << " ran "
              << CounterToNanoseconds(static_cast<int64_t>(drop), format.nAvgBytesPerSec) / 1000000
              << " ms ahead of its capture times: that much is left out; later corrections are only counted";
}

}  // namespace VellRecorder
