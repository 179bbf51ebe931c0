#include "sessions/cameratimeline.h"

namespace VellRecorder {

void CameraTimeline::SessionStarted(int64_t delay_us) {
  if (started_) return;
  started_ = true;
  offset_us_ = delay_us;
}

std::optional<int64_t> CameraTimeline::Stamp(int64_t sample_time, bool keyframe) {
  if (stopped_ || paused_) return std::nullopt;
  if (need_keyframe_ && !keyframe) return std::nullopt;
  if (!origin_set_) {
    origin_set_ = true;
    origin_ = sample_time;
  }
  const int64_t time_us = (sample_time - origin_) / 10 + offset_us_;
  if (last_us_ && time_us <= *last_us_) return std::nullopt;
  need_keyframe_ = false;
  last_us_ = time_us;
  return time_us;
}

void CameraTimeline::Pause(int64_t clock_time) {
  if (paused_) return;
  paused_ = true;
  pause_time_ = clock_time;
}

void CameraTimeline::Resume(int64_t clock_time) {
  if (!paused_) return;
  paused_ = false;
  need_keyframe_ = true;
  // Before the first frame there is no origin to move: the first frame after the resume becomes it.
  if (origin_set_) origin_ += clock_time - pause_time_;
}

}  // namespace VellRecorder
