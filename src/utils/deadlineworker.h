// Runs calls that may block for as long as somebody else pleases (a message to a window whose thread stopped
// pumping waits until that thread pumps again) on a worker thread, so that the caller waits at most a deadline.
// A call that overruns is abandoned: its thread finishes it alone and then ends; it is never joined, and a new
// worker takes the next call. Abandoned calls are remembered by their owner (for windows: the window's thread),
// so that calls for an owner that already hangs are skipped at once instead of stranding one thread each, and
// at most a fixed number of threads are ever stranded.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

namespace VellRecorder {

class DeadlineWorker {
 public:
  enum class Outcome {
    kDone,      // the call returned within the deadline
    kTimedOut,  // the call is still running and was abandoned
    kSkipped,   // the call was not run: its owner hangs already, or too many calls are abandoned
  };

  DeadlineWorker(std::chrono::milliseconds deadline, int max_abandoned);
  // Ends the idle worker; abandoned calls are not waited for.
  ~DeadlineWorker();
  DeadlineWorker(const DeadlineWorker&) = delete;
  DeadlineWorker& operator=(const DeadlineWorker&) = delete;

  // Runs `call` on the worker and waits for it at most the deadline. `call` must own whatever it touches
  // (captures by value, shared pointers): after kTimedOut it goes on running while the caller moves on.
  Outcome Run(uint32_t owner, std::function<void()> call);
  // Whether an abandoned call for this owner is still running.
  bool IsStuck(uint32_t owner) const;
  // Abandoned calls still running.
  int StuckCount() const;

 private:
  struct Slot;
  struct Stuck;
  static void Serve(std::shared_ptr<Slot> slot, std::shared_ptr<Stuck> stuck);

  // The caller's thread only (one caller at a time). The slot is shared with its worker thread under the
  // slot's mutex; the stuck list with every abandoned worker under its own mutex (taken after a slot's).
  const std::chrono::milliseconds deadline_;
  const int max_abandoned_;
  std::shared_ptr<Stuck> stuck_;
  std::shared_ptr<Slot> slot_;  // null until the first call, and after an abandonment
  std::thread thread_;          // serves slot_
};

}  // namespace VellRecorder
