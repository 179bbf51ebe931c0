#include "sessions/audiotimeline.h"

#include <algorithm>

#include "utils/clock.h"

namespace VellRecorder {
namespace {

constexpr int64_t k100nsPerSecond = 10000000;

}  // namespace

void AudioTimeline::BeginStretch(int64_t paused_ns) {
  paused_ns_ = paused_ns;
  anchored_ = false;
  stretch_samples_ = 0;
}

int64_t AudioTimeline::TimeOf(int64_t capture_ns) const {
  // Sound captured before the start (an endpoint's backlog) goes to the start.
  return std::max<int64_t>(0, (capture_ns - start_ns_ - paused_ns_) / 100);
}

void AudioTimeline::Anchor(int64_t capture_ns, AudioChunker* chunker) {
  const int64_t wanted = TimeOf(capture_ns);
  if (!chunker->HasOrigin()) {
    chunker_origin_100ns_ = wanted;
  } else {
    // The chunker counts on from the samples of earlier stretches: its origin moves so that its next chunk
    // is this stretch's first, never before the end of the previous stretch.
    const int64_t next = chunker->NextChunkTime100ns();
    chunker_origin_100ns_ += std::max(wanted, next) - next;
  }
  chunker->SetOrigin(chunker_origin_100ns_);
  stretch_origin_100ns_ = chunker->NextChunkTime100ns();
  anchored_ = true;
}

int64_t AudioTimeline::Offset(int64_t capture_ns, uint64_t position) const {
  if (!anchored_) return 0;
  const int64_t wanted = Rescale(TimeOf(capture_ns) - stretch_origin_100ns_, k100nsPerSecond, kSamplesPerSecond);
  const int64_t bound = kMaxLeadingSilenceSeconds * kSamplesPerSecond;
  return std::max(-bound, std::min(bound, wanted - static_cast<int64_t>(position)));
}

uint64_t AudioTimeline::LeadingSilence(int64_t capture_ns, uint64_t position) const {
  return static_cast<uint64_t>(std::max<int64_t>(0, Offset(capture_ns, position)));
}

AudioTimeline::FrameTime AudioTimeline::TakeFrameTime(int64_t* time_100ns) {
  const uint64_t frame = frames_taken_++;
  if (frame * kSamplesPerFrame < kEncoderDelaySamples) return FrameTime::kPriming;
  const uint64_t first_sample = frame * kSamplesPerFrame - kEncoderDelaySamples;
  const uint64_t chunk = first_sample / kSamplesPerChunk;
  while (chunks_dropped_ < chunk && !chunk_times_.empty()) {
    chunk_times_.pop_front();
    ++chunks_dropped_;
  }
  if (chunks_dropped_ != chunk || chunk_times_.empty()) return FrameTime::kUnknown;
  // Within a chunk the samples follow one another; a frame may begin in its middle.
  const int64_t within = static_cast<int64_t>(first_sample % kSamplesPerChunk);
  *time_100ns = chunk_times_.front() + within * k100nsPerSecond / kSamplesPerSecond;
  return FrameTime::kStamped;
}

}  // namespace VellRecorder
