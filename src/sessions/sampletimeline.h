// Presentation times of a screen session's samples, in 100-ns units from the recording start. Needs no Windows
// API.
//
// The first sample is stamped with the time from the start to its capture and the frame period; every later
// sample follows the previous one by the previous duration, and its own duration is the measured interval
// between the two captures before it. A resume restarts the interval measurement, so the time spent paused
// never enters the timeline: the first sample after a pause follows the last one before it by one interval.
#pragma once

#include <atomic>
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
  // The recording resumes at `now_ns` (also called by the capture thread when it wakes from a pause).
  void Resumed(int64_t now_ns) { last_capture_ns_.store(now_ns); }

 private:
  // Written and read by the capture thread only.
  int64_t start_ns_ = 0;
  int64_t next_time_ = 0;
  int64_t duration_ = 0;
  bool stamped_ = false;
  // Also written by the control thread's resume, hence atomic.
  std::atomic<int64_t> last_capture_ns_{0};
};

}  // namespace VellRecorder
