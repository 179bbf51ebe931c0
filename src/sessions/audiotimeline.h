// Where the audio session's sound goes on the recording's time line. Needs no Windows API.
//
// The recording is made of stretches: from the start, or from a resume, to the next pause. A time on the clock
// goes to that time minus the start and minus the time paused before it, like the screen sessions' frames (wall
// time without the pauses). The session anchors a stretch at the time it began and puts silence before each
// source's first sample up to that sample's capture time; the samples after it follow by their exact count (the
// chunker's clock). A stretch never begins before the previous one ended, so audio times only increase.
//
// AAC frames: the encoder makes one frame of each 1024 samples it accepted, in order, but its output lags its
// input: decoded, frame k begins with the sound of input sample k * 1024 - kEncoderDelaySamples (AAC-LC
// encoders look ahead and overlap their transform windows; 1600 samples is what ours measures, encoded and
// decoded again). Players do not take that delay off a transport stream's sound, so a frame is stamped with the
// time of the input sample it begins with, and the frames that begin before the first input (priming) are left
// out. Stamped by its input, a frame would be heard 33 ms after its picture.
// Used by the audio capture thread only; no lock.
#pragma once

#include <cstdint>
#include <deque>

#include "sessions/audiochunker.h"

namespace VellRecorder {

class AudioTimeline {
 public:
  static constexpr int64_t kSamplesPerSecond = AudioChunker::kSampleRate;
  static constexpr uint64_t kSamplesPerChunk = AudioChunker::kChunkBytes / 2;
  static constexpr uint64_t kSamplesPerFrame = 1024;
  static constexpr uint64_t kEncoderDelaySamples = 1600;
  // An endpoint's first packet may come seconds after the stream started (two under Wine).
  static constexpr uint64_t kMaxLeadingSilenceSeconds = 5;

  void Start(int64_t start_ns) { start_ns_ = start_ns; }
  // A stretch begins; `paused_ns` is all the time paused before it.
  void BeginStretch(int64_t paused_ns);
  bool Anchored() const { return anchored_; }
  // The stretch's first sample was captured at `capture_ns` (monotonic clock): the chunker's next chunk begins
  // at its place on the time line.
  void Anchor(int64_t capture_ns, AudioChunker* chunker);
  // How far a source's sample captured at `capture_ns` is from where it would go now, `position` samples of that
  // source being already mixed or waiting in this stretch: > 0, samples of silence go before it; < 0, it comes
  // that many samples too late and as many are to be left out. At most kMaxLeadingSilenceSeconds either way.
  int64_t Offset(int64_t capture_ns, uint64_t position) const;
  // Offset's silence only.
  uint64_t LeadingSilence(int64_t capture_ns, uint64_t position) const;
  void Mixed(uint64_t samples) { stretch_samples_ += samples; }
  uint64_t StretchSamples() const { return stretch_samples_; }

  void ChunkAccepted(int64_t time_100ns) { chunk_times_.push_back(time_100ns); }
  enum class FrameTime { kStamped, kPriming, kUnknown };
  // The time of the frame the encoder gave now. kPriming: it carries no input (leave it out); kUnknown: more
  // frames than the input accounts for.
  FrameTime TakeFrameTime(int64_t* time_100ns);

 private:
  int64_t TimeOf(int64_t capture_ns) const;

  int64_t start_ns_ = 0;
  int64_t paused_ns_ = 0;          // before the current stretch
  bool anchored_ = false;          // the current stretch's first sample has its time
  int64_t chunker_origin_100ns_ = 0;
  int64_t stretch_origin_100ns_ = 0;
  uint64_t stretch_samples_ = 0;   // mixed in the current stretch
  std::deque<int64_t> chunk_times_;  // accepted by the encoder, from chunk number chunks_dropped_ on
  uint64_t chunks_dropped_ = 0;      // whose sound is in frames already taken
  uint64_t frames_taken_ = 0;
};

}  // namespace VellRecorder
