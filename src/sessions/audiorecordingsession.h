// The sound of a recording: system audio (loopback of the default output device), a named microphone, or both.
// One capture thread polls the sources every 25 ms, resamples each to 48 kHz mono 16-bit PCM, mixes them,
// encodes the mix to AAC and hands each frame, with its ADTS header, to the recording's sink. While it records,
// one second of silence plays in a loop on the default output device, so that loopback capture keeps receiving
// packets when nothing else plays.
//
// A source whose endpoint fails while it records (unplugged, its sound server gone) keeps its place: silence stands
// for it, in real time, and its endpoint is looked for every second and opened again when it is back (a
// microphone by its name; system audio on whatever is the default output device, which it also follows when
// that changes). One error record tells of the loss and one of the return.
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
  // How often a lost endpoint is looked for, and the default output device compared with the one recorded.
  static constexpr int64_t kCheckIntervalNs = 1000000000;
  // A lost source's silence is put in up to this long before the present: a live source's sound reaches the mix
  // about that late, and the silence must not run ahead of the sound that comes when the source is back.
  static constexpr int64_t kLostFillLagNs = 100000000;
  // A microphone that delivers no packet for this long is lost like one whose endpoint fails; after an opening,
  // its first packet may take seconds.
  static constexpr int64_t kSilenceLostNs = 1000000000;
  static constexpr int64_t kFirstPacketLostNs = 4000000000;

  // What the metrics need of one source.
  struct SourceFigures {
    int32_t flow = 0;  // 0: system audio, 1: microphone
    std::wstring name;
    // False: none of its sound is in the recording (it could not be opened or resampled, or nothing could be
    // encoded).
    bool recorded = false;
    uint64_t discontinuities = 0;
    // Of its time line, silence in place of sound it lost: while its endpoint was gone, and gaps the endpoint
    // reported.
    int64_t lost_ns = 0;
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
  // afterwards. The silence loop plays on until StopSilence (or destruction): stopping it may take a second, which
  // must not hold up the other sessions' stop and leave their last frames without sound.
  void Stop();
  void StopSilence() { silence_.Stop(); }

  // The sources asked for, system audio first, recorded or not. Read after Stop.
  std::vector<SourceFigures> GetSourceFigures() const;
  bool IsRecording() const { return capture_thread_.joinable(); }
  uint64_t FramesMuxed() const { return frames_muxed_.load(); }
  // PCM bytes that a transform refused and that are therefore missing from the recording.
  uint64_t BytesRefusedByResampler() const { return refused_bytes_[kResamplerRefusal].load(); }
  uint64_t BytesRefusedByEncoder() const { return refused_bytes_[kEncoderRefusal].load(); }
  // Silence put in place of sound an endpoint lost, in bytes of its capture format, over all sources.
  uint64_t BytesFilledForLostSound() const { return filled_bytes_.load(); }
  // Bytes of sound left out because they came after their capture times had passed (captured or resampled).
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
    MixerPadding padding;            // counted into captured_bytes from its entry into the mix
    uint64_t captured_bytes = 0;     // placed in the stretch: with the silence put in, without the bytes dropped
    bool in_mix = false;             // the stretch's first resampled bytes reached the mixer
    std::vector<uint8_t> held;       // resampled before the placement settled: not in the mix yet
    std::atomic<uint64_t> excused_discontinuities{0};  // overruns caused by not polling while paused
    WAVEFORMATEXTENSIBLE format{};   // the capture format the ring and the resampler are built for
    // The endpoint failed: silence stands for the source until it is opened again.
    bool lost = false;
    int64_t lost_at_ns = 0;
    // Opened again in this stretch and no packet taken yet: silence still stands for it.
    bool awaiting_sound = false;
    bool reopened = false;           // in this stretch: its first sound follows a loss
    int64_t next_check_ns = 0;       // next look for the endpoint (lost) or at the default device (system audio)
    int64_t sound_at_ns = 0;         // when it last delivered, or was opened or resumed
    int64_t lost_ns = 0;             // see SourceFigures; read after Stop
  };
  // A source asked for, and its lane when it could be opened.
  struct Requested {
    bool wanted = false;
    AudioSourceConfig config;
    std::unique_ptr<Lane> lane;
  };
  enum Refusal { kResamplerRefusal = 0, kEncoderRefusal = 1, kRefusalKinds = 2 };

  static std::unique_ptr<Lane> OpenLane(const AudioSourceConfig& config);
  // Builds the ring and the resampler for the source's capture format.
  static HRESULT BuildConversion(Lane* lane);
  HRESULT Initialize();

  // Capture thread.
  void CaptureLoop();
  // False once the session stops.
  bool WaitForNextTurn(int64_t turn_start_ns);
  // Capture, resample, mix and encode what arrived since the previous turn.
  void RunTurn(bool stretch_ends);
  // Drops what the endpoints and the pipeline hold, so that the next stretch begins with fresh sound.
  void BeginStretch();
  void Capture(Lane* lane, int64_t now_ns);
  void Place(Lane* lane, const CaptureResult& result);
  void Lose(Lane* lane, const std::string& why);
  // Once a second: a lost endpoint looked for, the default output device compared.
  void Watch(Lane* lane, int64_t now_ns);
  void Reopen(Lane* lane, int64_t now_ns);
  void ResetStretch(Lane* lane);
  // Silence up to shortly before now for a source that delivers nothing because it is lost.
  void FillWhileLost(size_t index, Lane* lane, int64_t now_ns);
  void FillLostSound(Lane* lane, const CaptureResult& result);
  void AppendSilence(Lane* lane, uint64_t bytes);
  void Correct(Lane* lane, int64_t bytes);
  void Resample(size_t index, Lane* lane);
  void CollectResampled(size_t index, Lane* lane);
  void AppendResampled(size_t index, Lane* lane, const uint8_t* pcm, size_t length);
  void EnterMix(size_t index, Lane* lane);
  // Samples of the source mixed or waiting in the mixer in this stretch.
  uint64_t LanePosition(size_t index) const;
  void PlaceInStretch(size_t index, Lane* lane);
  void MixAndEncode(bool stretch_ends);
  void EncodeChunk(const uint8_t* pcm, size_t length, int64_t time_100ns, int64_t duration_100ns);
  void CollectFrames();
  void MuxFrame(IMFSample* frame);
  void DrainEncoder();
  void CountRefusal(Refusal kind, size_t bytes, HRESULT hr);

  HLSSink* const sink_;  // borrowed; serialises its callers

  // Set on the control thread before Start; the capture thread uses their lanes while it runs.
  Requested system_audio_;
  Requested microphone_;
  std::vector<Lane*> lanes_;  // the present sources in mixing order, fixed by Start
  std::unique_ptr<MediaFoundation::AACEncoder> encoder_;
  bool encoder_failed_ = false;  // at Start: no sound is recorded
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
