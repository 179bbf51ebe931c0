#pragma once

namespace VellRecorder {

class WinSystem {
 public:
  // Asks Windows (10 and later) to run this executable on the power-saving GPU, through the per-user value
  // named by the executable's path. 0: nothing changed (older Windows, or already set); 1: written now (the
  // preference applies from the next start); -1: writing failed.
  static int ForcePowerSavingMode();
};

}  // namespace VellRecorder
