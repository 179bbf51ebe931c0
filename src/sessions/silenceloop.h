// One second of silence played in a loop on the default output device while sound is recorded, so that loopback
// capture keeps receiving packets when nothing else plays.
//
// PlaySound's stop waits for the thread that plays, and that thread hangs when the output device goes away under
// it (unplugged, or its sound server gone): a stop made on the control thread then never returned, and with it
// neither "finish" nor "cancel". Every PlaySound call runs on a worker and is given up after kDeadline; once one
// hangs, the later ones are skipped (they would only queue behind it in winmm) until it returns.
#pragma once

#include <chrono>

namespace VellRecorder {

// Threading: one caller at a time (the control thread). The worker and what it plays are the process's: PlaySound
// plays one sound per process.
class SilenceLoop {
 public:
  // A call that works returns within tens of milliseconds.
  static constexpr std::chrono::milliseconds kDeadline{500};

  SilenceLoop() = default;
  ~SilenceLoop() { Stop(); }
  SilenceLoop(const SilenceLoop&) = delete;
  SilenceLoop& operator=(const SilenceLoop&) = delete;

  // Logs why it does not play.
  void Start();
  void Stop();

 private:
  bool playing_ = false;
};

}  // namespace VellRecorder
