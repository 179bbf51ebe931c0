// Spaces the captures of a screen session at the encoder's frame interval on the monotonic clock. Needs no
// Windows API.
#pragma once

#include <cstdint>

namespace VellRecorder {

// A loop that is late by less than one interval keeps its phase (the average rate stays exact). One that fell
// behind by a whole interval or more makes up for one missed frame at once and starts a new phase from there,
// so a short stall costs no frame and a long one causes no burst.
// Used by one thread; no lock.
class FramePacer {
 public:
  explicit FramePacer(int64_t interval_ns) : interval_ns_(interval_ns) {}

  // Nanoseconds until the next capture is due; 0 when it is due now.
  int64_t NanosecondsUntilDue(int64_t now_ns) const;
  // A capture was taken at now_ns.
  void Taken(int64_t now_ns);
  // Forgets the schedule (after a pause): the next capture is due at once.
  void Reset() { scheduled_ = false; }

  int64_t IntervalNs() const { return interval_ns_; }

 private:
  int64_t interval_ns_;
  int64_t next_due_ns_ = 0;
  bool scheduled_ = false;
};

// Milliseconds to wait for `ns` nanoseconds with a millisecond timer: rounded up, so that a wait never
// ends before the due time.
constexpr uint32_t WaitMilliseconds(int64_t ns) {
  return ns <= 0 ? 0 : static_cast<uint32_t>((ns + 999999) / 1000000);
}

}  // namespace VellRecorder
