// Where the audio session's sound goes on the recording's time line. Needs no Windows API.
//
// The recording is made of stretches: from the start, or from a resume, to the next pause. A time on the clock
// goes to that time minus the start and minus the time paused before it, like the screen sessions' frames (wall
// time without the pauses). The session anchors a stretch at the time it began and puts silence before each
// source's first sample up to that sample's capture time; the samples after it follow by their exact count (the
// chunker's clock). A stretch never begins before the previous one ended, so audio times only increase.
//
// AAC frames: the encoder makes one frame of each two 512-sample chunks it accepted, in order. A frame is
// stamped with the first of its two chunks' times, the time of its first sample (the transform driver would
// give it its second chunk's time).
// Used by the audio capture thread only; no lock.
#pragma once

#include <cstdint>
#include <deque>

#include "sessions/audiochunker.h"

namespace VellRecorder {

class AudioTimeline {
 public:
  static constexpr int64_t kSamplesPerSecond = AudioChunker::kSampleRate;
  static constexpr size_t kChunksPerFrame = 2;
  // An endpoint's first packet may come seconds after the stream started (two under Wine).
  static constexpr uint64_t kMaxLeadingSilenceSeconds = 5;

  void Start(int64_t start_ns) { start_ns_ = start_ns; }
  // A stretch begins; `paused_ns` is all the time paused before it.
  void BeginStretch(int64_t paused_ns);
  bool Anchored() const { return anchored_; }
  // The stretch's first sample was captured at `capture_ns` (monotonic clock): the chunker's next chunk begins
  // at its place on the time line.
  void Anchor(int64_t capture_ns, AudioChunker* chunker);
  // How many samples of silence go before a source's first sample of the stretch, captured at `capture_ns`,
  // when `position` samples of that source are already mixed or waiting in this stretch. At most
  // kMaxLeadingSilenceSeconds.
  uint64_t LeadingSilence(int64_t capture_ns, uint64_t position) const;
  void Mixed(uint64_t samples) { stretch_samples_ += samples; }
  uint64_t StretchSamples() const { return stretch_samples_; }

  void ChunkAccepted(int64_t time_100ns) { chunk_times_.push_back(time_100ns); }
  // The time of the frame the encoder gave now; false (nothing taken) when no chunk is waiting for a frame.
  bool TakeFrameTime(int64_t* time_100ns);

 private:
  int64_t TimeOf(int64_t capture_ns) const;

  int64_t start_ns_ = 0;
  int64_t paused_ns_ = 0;          // before the current stretch
  bool anchored_ = false;          // the current stretch's first sample has its time
  int64_t chunker_origin_100ns_ = 0;
  int64_t stretch_origin_100ns_ = 0;
  uint64_t stretch_samples_ = 0;   // mixed in the current stretch
  std::deque<int64_t> chunk_times_;  // accepted by the encoder, not yet framed
};

}  // namespace VellRecorder
