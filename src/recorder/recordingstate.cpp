#include "recorder/recordingstate.h"

namespace VellRecorder {

RecordingState::Verdict RecordingState::Take(Step step, std::string* reason) {
  const auto refuse = [reason](const char* why) {
    *reason = why;
    return Verdict::kRefuse;
  };
  const auto move_to = [this](State next) {
    state_ = next;
    return Verdict::kAct;
  };
  if (step == Step::kStop) return state_ == State::kStopped ? Verdict::kAlreadyDone : move_to(State::kStopped);
  switch (state_) {
    case State::kReady:
      if (step == Step::kStart) return move_to(State::kRunning);
      return refuse("the recording has not been started");
    case State::kRunning:
      if (step == Step::kPause) return move_to(State::kPaused);
      if (step == Step::kResume) return Verdict::kAlreadyDone;
      return refuse("the recording is already running");
    case State::kPaused:
      if (step == Step::kResume) return move_to(State::kRunning);
      if (step == Step::kPause) return Verdict::kAlreadyDone;
      return refuse("the recording is already running (paused)");
    case State::kStopped:
      break;
  }
  return refuse("the recording has been stopped; its parts are final");
}

}  // namespace VellRecorder
