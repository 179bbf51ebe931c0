#include "sessions/sampletimeline.h"

namespace VellRecorder {

void SampleTimeline::Start(int64_t start_ns, uint32_t frame_rate) {
  start_ns_ = start_ns;
  last_capture_ns_.store(start_ns);
  // Whole microseconds first, as the encoder's frame period is given elsewhere.
  duration_ = frame_rate == 0 ? 0 : int64_t{1000000 / frame_rate} * 10;
  next_time_ = 0;
  stamped_ = false;
}

SampleTimeline::Stamp SampleTimeline::Next(int64_t now_ns) {
  if (!stamped_) {
    next_time_ = (now_ns - start_ns_) / 100;
    stamped_ = true;
  }
  const Stamp stamp{next_time_, duration_};
  next_time_ += duration_;
  duration_ = (now_ns - last_capture_ns_.exchange(now_ns)) / 100;
  return stamp;
}

}  // namespace VellRecorder
