#include "sessions/sampletimeline.h"

namespace VellRecorder {

void SampleTimeline::Start(int64_t start_ns, uint32_t frame_rate) {
  start_ns_ = start_ns;
  last_capture_ns_ = start_ns;
  // Whole microseconds first, as the encoder's frame period is given elsewhere.
  duration_ = frame_rate == 0 ? 0 : int64_t{1000000 / frame_rate} * 10;
  next_time_ = 0;
  stamped_ = false;
}

SampleTimeline::Stamp SampleTimeline::Next(int64_t now_ns) {
  if (!stamped_) {
    // From the start without the time paused before the first capture.
    next_time_ = (now_ns - start_ns_) / 100 - (last_capture_ns_ - start_ns_) / 100;
    stamped_ = true;
  }
  const Stamp stamp{next_time_, duration_};
  next_time_ += duration_;
  // Both ends in whole units from the start, not the interval cut to whole units: cutting each interval would
  // lose 50 ns a frame on average, and the picture would fall behind its sound by 5 ms an hour at 30 frames a
  // second.
  const int64_t last_ns = last_capture_ns_;
  last_capture_ns_ = now_ns;
  duration_ = (now_ns - start_ns_) / 100 - (last_ns - start_ns_) / 100;
  return stamp;
}

}  // namespace VellRecorder
