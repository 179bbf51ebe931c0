#include "sessions/cameratimeline.h"

#include <algorithm>

namespace VellRecorder {

int64_t CameraTimeline::RecordingUs(int64_t now_ns) const {
  const int64_t until_ns = paused_ ? std::min(now_ns, pause_began_ns_) : now_ns;
  return (until_ns - start_ns_ - paused_ns_) / 1000;
}

void CameraTimeline::FrameBeforeSessionStart(int64_t clock_time, int64_t now_ns) {
  if (stopped_ || anchored_) return;
  SessionStarted(clock_time, now_ns);
  anchored_by_frame_ = true;
}

void CameraTimeline::SessionStarted(int64_t clock_time, int64_t now_ns) {
  if (stopped_) return;
  if (anchored_by_frame_) {
    anchored_by_frame_ = false;
    return;
  }
  anchored_ = true;
  anchor_clock_ = clock_time;
  anchor_us_ = RecordingUs(now_ns);
  // A pause that began before this clock existed is, on this clock, paused since its start.
  if (paused_) pause_clock_ = clock_time;
  // A new encoder's first frames reference nothing written; a session started again goes on from where it was.
  need_keyframe_ = true;
}

std::optional<int64_t> CameraTimeline::Stamp(int64_t sample_time, bool keyframe) {
  if (stopped_ || paused_ || !anchored_) return std::nullopt;
  if (need_keyframe_ && !keyframe) return std::nullopt;
  const int64_t time_us = anchor_us_ + (sample_time - anchor_clock_) / 10;
  if (time_us < 0 || (last_us_ && time_us <= *last_us_)) return std::nullopt;
  if (gap_open_) {
    lost_us_ += std::max<int64_t>(0, time_us - gap_start_us_);
    gap_open_ = false;
  } else if (last_us_) {
    frame_us_ = time_us - *last_us_;
  }
  need_keyframe_ = false;
  last_us_ = time_us;
  return time_us;
}

void CameraTimeline::Pause(int64_t clock_time, int64_t now_ns) {
  if (paused_ || stopped_) return;
  paused_ = true;
  pause_clock_ = clock_time;
  pause_began_ns_ = now_ns;
}

void CameraTimeline::Resume(int64_t clock_time, int64_t now_ns) {
  if (!paused_ || stopped_) return;
  paused_ = false;
  paused_ns_ += now_ns - pause_began_ns_;
  if (!anchored_) return;
  anchor_clock_ += clock_time - pause_clock_;
  need_keyframe_ = true;
  // Before the first frame there is nothing to follow: the first frame is not late.
  if (last_us_) OpenGap(now_ns);
}

void CameraTimeline::OpenGap(int64_t now_ns) {
  if (gap_open_) return;
  gap_open_ = true;
  // A camera that delivered sparsely does not move the start past now.
  gap_start_us_ = last_us_ ? std::min(*last_us_ + frame_us_, RecordingUs(now_ns)) : RecordingUs(now_ns);
}

void CameraTimeline::Lost(int64_t now_ns) {
  if (stopped_) return;
  anchored_ = false;
  anchored_by_frame_ = false;
  OpenGap(now_ns);
}

void CameraTimeline::Stop(int64_t now_ns) {
  if (stopped_) return;
  if (gap_open_) lost_us_ += std::max<int64_t>(0, RecordingUs(now_ns) - gap_start_us_);
  gap_open_ = false;
  stopped_ = true;
}

}  // namespace VellRecorder
