// Tells a capture thread whether the encoder further down its pipeline is ready for another frame. Capturing
// faster than the encoder takes frames only makes frames that are converted and then skipped, and on a busy
// machine that work is taken from the encoder itself. Needs no Windows API.
#pragma once

#include <atomic>
#include <cstdint>

namespace VellRecorder {

// Frames are known by their times, which increase. The capture thread publishes; the encoding thread releases
// a frame when it takes it, and any stage that drops a frame releases it there, so that a frame lost on its way
// never leaves the capture waiting. Releasing a frame releases every earlier one too.
// Threads: Published and IsReady on the capture thread; Released on any pipeline thread; Reset before they start.
class CaptureGate {
 public:
  void Reset() {
    published_us_ = kNone;
    released_us_ = kNone;
  }

  // The capture thread passed on the frame of this time. Call before the frame can reach any other stage.
  void Published(int64_t time_us) { published_us_.store(time_us); }

  // The frame of this time reached the encoder or was dropped by a stage.
  void Released(int64_t time_us) {
    int64_t current = released_us_.load();
    while (current < time_us && !released_us_.compare_exchange_weak(current, time_us)) {
    }
  }

  // Every published frame has been released: the encoder will want the next one.
  bool IsReady() const { return released_us_.load() >= published_us_.load(); }

 private:
  static constexpr int64_t kNone = -1;  // frame times start at 0
  std::atomic<int64_t> published_us_{kNone};
  std::atomic<int64_t> released_us_{kNone};
};

}  // namespace VellRecorder
