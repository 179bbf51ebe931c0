// The sound of a recording: system audio (loopback of the default output device), a named microphone, or both.
// One capture thread polls the sources every 25 ms, resamples each to 48 kHz mono 16-bit PCM, mixes them,
// encodes the mix to AAC and hands each frame, with its ADTS header, to the recording's sink. While it records,
// one second of silence plays in a loop on the default output device, so that loopback capture keeps receiving
// packets when nothing else plays.
//
// Time line: see AudioTimeline.
#pragma once

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Media Foundation's headers before WASAPI's: mingw's strmif.h redefines what ksmedia.h (through
// audioclient.h) already declared, and refuses to build in the other order.
#include "media_transforms/media_foundation/aacencoder.h"
#include "media_transforms/media_foundation/audioresampler.h"
#include "media_sources/audio/audioringbuffer.h"
#include "media_sources/audio/audiosource.h"
#include "sessions/audiochunker.h"
#include "sessions/audiomixer.h"
#include "sessions/audiotimeline.h"
#include "sessions/captureplacement.h"
#include "sessions/silenceloop.h"

namespace VellRecorder {

class HLSSink;

class AudioRecordingSession {
 public:
  static constexpr int64_t kLoopIntervalUs = 25000;  // half the sources' 50 ms endpoint buffer

  // What the metrics need of one source.
  struct SourceFigures {
    int32_t flow = 0;  // 0: system audio, 1: microphone
    std::wstring name;
    uint64_t discontinuities = 0;
  };

  // The sink is borrowed and must outlive the session.
  explicit AudioRecordingSession(HLSSink* sink);
  ~AudioRecordingSession();
  AudioRecordingSession(const AudioRecordingSession&) = delete;
  AudioRecordingSession& operator=(const AudioRecordingSession&) = delete;

  // Each opens its source, replacing one held in the same role. A source that cannot be opened is dropped with
  // an error record naming it; the recording goes on without it. SetMicrophoneSource throws Exception when
  // access to the microphone is refused.
  void SetSystemAudioSource();
  void SetMicrophoneSource(const std::wstring& name);

  // Times are measured from start_ns (MonotonicNowNs). Records nothing, and says so, when no source could be
  // opened or the AAC encoder cannot be built. Once.
  void Start(int64_t start_ns);
  // The thread parks between two loop turns, after taking what arrived before the pause; what the endpoints
  // capture while paused is dropped at the resume, and the paused time is left out of the time line.
  void Pause();
  void Resume();
  // Returns once the thread delivered its last frame and ended (also while paused); nothing reaches the sink
  // afterwards. Stops the silence loop.
  void Stop();

  // The sources being recorded, system audio first. Read after Stop.
  std::vector<SourceFigures> GetSourceFigures() const;
  bool IsRecording() const { return capture_thread_.joinable(); }
  uint64_t FramesMuxed() const { return frames_muxed_.load(); }
  // PCM bytes that a transform refused and that are therefore missing from the recording.
  uint64_t BytesRefusedByResampler() const { return refused_bytes_[kResamplerRefusal].load(); }
  uint64_t BytesRefusedByEncoder() const { return refused_bytes_[kEncoderRefusal].load(); }
  // Silence put in place of sound an endpoint lost, in bytes of its capture format, over all sources.
  uint64_t BytesFilledForLostSound() const { return filled_bytes_.load(); }
  // Captured bytes left out because they ran ahead of their capture times.
  uint64_t BytesDroppedAheadOfTime() const { return dropped_ahead_bytes_.load(); }

 private:
  // One source and what carries its sound to the mix. Built on the control thread before Start; then the
  // capture thread alone uses it until Stop has joined it.
  struct Lane {
    std::unique_ptr<AudioSource> source;
    std::unique_ptr<AudioRingBuffer> ring;  // one second of the capture format
    std::unique_ptr<MediaFoundation::AudioResampler> resampler;
    std::vector<uint8_t> staged;     // captured bytes the resampler has not accepted yet
    CapturePlacement placement;      // begun by the stretch's first bytes
    uint64_t captured_bytes = 0;     // placed in the stretch: with the silence put in, without the bytes dropped
    bool in_mix = false;             // the stretch's first resampled bytes reached the mixer
    std::vector<uint8_t> held;       // resampled before the placement settled: not in the mix yet
    std::atomic<uint64_t> excused_discontinuities{0};  // overruns caused by not polling while paused
  };
  enum Refusal { kResamplerRefusal = 0, kEncoderRefusal = 1, kRefusalKinds = 2 };

  static std::unique_ptr<Lane> OpenLane(const AudioSourceConfig& config);
  HRESULT Initialize();

  // Capture thread.
  void CaptureLoop();
  // False once the session stops.
  bool WaitForNextTurn(int64_t turn_start_ns);
  // Capture, resample, mix and encode what arrived since the previous turn.
  void RunTurn(bool stretch_ends);
  // Drops what the endpoints and the pipeline hold, so that the next stretch begins with fresh sound.
  void BeginStretch();
  void Capture(Lane* lane);
  void FillLostSound(Lane* lane, const CaptureResult& result);
  void AppendSilence(Lane* lane, uint64_t bytes);
  void Correct(Lane* lane, int64_t bytes);
  void Resample(size_t index, Lane* lane);
  void CollectResampled(size_t index, Lane* lane);
  void AppendResampled(size_t index, Lane* lane, const uint8_t* pcm, size_t length);
  void EnterMix(size_t index, Lane* lane);
  void PlaceInStretch(size_t index, Lane* lane);
  void MixAndEncode(bool stretch_ends);
  void EncodeChunk(const uint8_t* pcm, size_t length, int64_t time_100ns, int64_t duration_100ns);
  void CollectFrames();
  void MuxFrame(IMFSample* frame);
  void DrainEncoder();
  void CountRefusal(Refusal kind, size_t bytes, HRESULT hr);

  HLSSink* const sink_;  // borrowed; serialises its callers

  // Set on the control thread before Start; the capture thread uses them while it runs.
  std::unique_ptr<Lane> system_audio_;
  std::unique_ptr<Lane> microphone_;
  std::vector<Lane*> lanes_;  // the present sources in mixing order, fixed by Start
  std::unique_ptr<MediaFoundation::AACEncoder> encoder_;
  int64_t start_ns_ = 0;
  SilenceLoop silence_;  // control thread only

  // Capture thread only.
  std::unique_ptr<AudioMixer> mixer_;
  AudioChunker chunker_;
  std::vector<uint8_t> mix_;               // mixed PCM waiting to be cut into chunks
  std::vector<uint8_t> frame_buffer_;      // ADTS header and payload of one frame
  AudioTimeline timeline_;
  int64_t stretch_began_ns_ = 0;           // monotonic time at which the current stretch began
  bool refusal_logged_[kRefusalKinds] = {};

  // Guarded by state_mutex_: written by the control thread, waited on by the capture thread.
  std::mutex state_mutex_;
  std::condition_variable state_changed_;
  bool running_ = false;
  bool paused_ = false;
  int64_t pause_began_ns_ = 0;
  int64_t paused_total_ns_ = 0;

  std::atomic<uint64_t> frames_muxed_{0};
  std::atomic<uint64_t> filled_bytes_{0};
  std::atomic<uint64_t> dropped_ahead_bytes_{0};
  bool fill_logged_ = false;  // capture thread only
  bool drop_logged_ = false;  // capture thread only
  std::atomic<uint64_t> refused_bytes_[kRefusalKinds] = {};

  // Started by Start, joined by Stop (and the destructor) on the control thread.
  std::thread capture_thread_;
};

}  // namespace VellRecorder
