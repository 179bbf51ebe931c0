// Presentation times of a screen session's samples, in 100-ns units from the recording start. Needs no Windows
// API.
//
// The first sample is stamped with the time from the start to its capture and the frame period; every later
// sample follows the previous one by the previous duration, and its own duration is the measured interval
// between the two captures before it. Time spent paused is left out of the intervals (Exclude), so it never
// enters the timeline: the first sample after a pause follows the last one before it by one interval.
#pragma once

#include <cstdint>

namespace VellRecorder {

class SampleTimeline {
 public:
  struct Stamp {
    int64_t time;      // 100-ns units from the recording start
    int64_t duration;  // 100-ns units
  };

  // `start_ns` on the monotonic clock; the first duration is the period of `frame_rate` (333,330 at 30).
  void Start(int64_t start_ns, uint32_t frame_rate);
  // The stamp of a sample captured at `now_ns`.
  Stamp Next(int64_t now_ns);
  // Leaves `ns` paused between the previous capture and the next out of the next interval.
  void Exclude(int64_t ns) { last_capture_ns_ += ns; }

 private:
  // The capture thread's only.
  int64_t start_ns_ = 0;
  int64_t next_time_ = 0;
  int64_t duration_ = 0;
  bool stamped_ = false;
  int64_t last_capture_ns_ = 0;
};

}  // namespace VellRecorder
