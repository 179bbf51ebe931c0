// Where a recording stands in the order the host application drives it: ready after "recorder-init",
// running from "recorder-start", paused and resumed any number of times, stopped for good by "finish" or
// "cancel". A step out of that order is refused here, before it reaches the sessions or the sink: a stopped
// recording's parts have been reported and must never be written again, and a second start would reset the
// time line under frames already recorded.
#pragma once

#include <string>

namespace VellRecorder {

class RecordingState {
 public:
  enum class Step { kStart, kPause, kResume, kStop };
  enum class Verdict {
    kAct,          // carry the step out; the state has moved on
    kAlreadyDone,  // the recording is already where the step leads: nothing to do, but the step succeeded
    kRefuse,       // out of order: nothing may be done
  };

  // Decides what `step` does now and moves the state when it acts. On kRefuse, `*reason` says why.
  Verdict Take(Step step, std::string* reason);

 private:
  enum class State { kReady, kRunning, kPaused, kStopped };
  State state_ = State::kReady;
};

}  // namespace VellRecorder
