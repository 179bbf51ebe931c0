#include "muxers/interleaver.h"

#include <algorithm>
#include <utility>

namespace VellRecorder {

void FrameInterleaver::Push(const uint8_t* data, uint32_t length, int64_t time_us, StreamKind kind) {
  const size_t stream = Index(kind);
  Frame frame;
  frame.bytes.assign(data, data + length);
  frame.time_us = time_us;
  frame.kind = kind;
  newest_us_ = HeldFrames() == 0 ? time_us : std::max(newest_us_, time_us);
  held_bytes_ += length;
  seen_[stream] = true;
  queues_[stream].push_back(std::move(frame));
}

bool FrameInterleaver::Next(Frame* frame) {
  const bool video = !queues_[0].empty();
  const bool audio = !queues_[1].empty();
  if (video && audio) return Drain(frame);
  if (!video && !audio) return false;
  const size_t held = video ? 0 : 1;
  if (!seen_[1 - held] || newest_us_ - queues_[held].front().time_us > kWindowUs || held_bytes_ > kMaxHeldBytes) {
    Pop(held, frame);
    return true;
  }
  return false;
}

bool FrameInterleaver::Drain(Frame* frame) {
  if (queues_[0].empty() && queues_[1].empty()) return false;
  const bool audio_first =
      queues_[0].empty() || (!queues_[1].empty() && queues_[1].front().time_us < queues_[0].front().time_us);
  Pop(audio_first ? 1 : 0, frame);
  return true;
}

void FrameInterleaver::Reset() {
  queues_[0].clear();
  queues_[1].clear();
  seen_[0] = seen_[1] = false;
  held_bytes_ = 0;
}

void FrameInterleaver::Pop(size_t stream, Frame* frame) {
  *frame = std::move(queues_[stream].front());
  queues_[stream].pop_front();
  held_bytes_ -= frame->bytes.size();
}

}  // namespace VellRecorder
