// The time a recording spent paused, as the control thread saw it, for a capture thread to leave out of its clock.
// Needs no Windows API.
//
// A screen session's capture thread used to leave out the time it itself waited: it sees a pause only after the
// frame it is waiting for (up to a frame interval after the pause) and wakes a little after the resume, so each pause
// left some paused time in the picture's clock and the picture fell behind the sound by about 10 ms a pause (30
// quick pauses: 300 ms). The sound leaves out the time between Pause and Resume; so do the pictures now, including
// pauses so short that the capture thread never saw them.
#pragma once

#include <atomic>
#include <cstdint>

namespace VellRecorder {

// Threading: Paused and Resumed on the control thread; TakeEnded on one capture thread.
class PauseLedger {
 public:
  void Paused(int64_t now_ns) { pause_began_ns_.store(now_ns); }
  void Resumed(int64_t now_ns) { ended_ns_.fetch_add(now_ns - pause_began_ns_.load()); }
  // The paused time of the pauses that ended since the last call; one still running counts once it has ended.
  int64_t TakeEnded() {
    const int64_t ended = ended_ns_.load();
    const int64_t taken = ended - taken_ns_;
    taken_ns_ = ended;
    return taken;
  }

 private:
  std::atomic<int64_t> pause_began_ns_{0};
  std::atomic<int64_t> ended_ns_{0};
  int64_t taken_ns_ = 0;  // capture thread
};

}  // namespace VellRecorder
