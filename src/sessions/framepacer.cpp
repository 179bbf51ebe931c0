#include "sessions/framepacer.h"

namespace VellRecorder {

int64_t FramePacer::NanosecondsUntilDue(int64_t now_ns) const {
  if (!scheduled_ || now_ns >= next_due_ns_) return 0;
  return next_due_ns_ - now_ns;
}

void FramePacer::Taken(int64_t now_ns) {
  if (!scheduled_) {
    next_due_ns_ = now_ns + interval_ns_;
  } else if (now_ns - next_due_ns_ < interval_ns_) {
    next_due_ns_ += interval_ns_;
  } else {
    next_due_ns_ = now_ns;  // the one frame made up; the capture after it sets the new phase
  }
  scheduled_ = true;
}

}  // namespace VellRecorder
