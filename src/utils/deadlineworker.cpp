#include "utils/deadlineworker.h"

#include <condition_variable>
#include <mutex>
#include <set>
#include <utility>

namespace VellRecorder {

// One worker thread's hand-over point. Guarded by mutex.
struct DeadlineWorker::Slot {
  std::mutex mutex;
  std::condition_variable changed;
  std::function<void()> call;
  uint32_t owner = 0;
  bool pending = false;    // a call waits or runs; the worker clears it once the call has returned
  bool abandoned = false;  // the caller gave up on the running call: the worker ends after it
  bool leave = false;      // the idle worker ends
};

// Owners of the abandoned calls still running, one entry per call. Guarded by mutex.
struct DeadlineWorker::Stuck {
  mutable std::mutex mutex;
  std::multiset<uint32_t> owners;
};

DeadlineWorker::DeadlineWorker(std::chrono::milliseconds deadline, int max_abandoned)
    : deadline_(deadline), max_abandoned_(max_abandoned), stuck_(std::make_shared<Stuck>()) {}

DeadlineWorker::~DeadlineWorker() {
  if (!slot_) return;
  {
    const std::lock_guard<std::mutex> lock(slot_->mutex);
    slot_->leave = true;
  }
  slot_->changed.notify_all();
  thread_.join();  // idle: only an abandoned worker can be busy, and that one was detached
}

void DeadlineWorker::Serve(std::shared_ptr<Slot> slot, std::shared_ptr<Stuck> stuck) {
  std::unique_lock<std::mutex> lock(slot->mutex);
  for (;;) {
    slot->changed.wait(lock, [&] { return slot->pending || slot->leave; });
    if (!slot->pending) return;
    std::function<void()> call = std::move(slot->call);
    lock.unlock();
    try {
      call();
    } catch (...) {
      // The caller learns nothing more from an exception than from a call that did nothing; a detached thread
      // must not end the process with it.
    }
    call = nullptr;  // its captures go here, not on the caller's thread
    lock.lock();
    slot->pending = false;
    if (slot->abandoned) {
      const std::lock_guard<std::mutex> stuck_lock(stuck->mutex);
      stuck->owners.erase(stuck->owners.find(slot->owner));
      return;
    }
    slot->changed.notify_all();
  }
}

DeadlineWorker::Outcome DeadlineWorker::Run(uint32_t owner, std::function<void()> call) {
  if (IsStuck(owner) || StuckCount() >= max_abandoned_) return Outcome::kSkipped;
  if (!slot_) {
    slot_ = std::make_shared<Slot>();
    thread_ = std::thread(&DeadlineWorker::Serve, slot_, stuck_);
  }
  std::unique_lock<std::mutex> lock(slot_->mutex);
  slot_->call = std::move(call);
  slot_->owner = owner;
  slot_->pending = true;
  slot_->changed.notify_all();
  if (slot_->changed.wait_for(lock, deadline_, [&] { return !slot_->pending; })) return Outcome::kDone;
  slot_->abandoned = true;
  {
    const std::lock_guard<std::mutex> stuck_lock(stuck_->mutex);
    stuck_->owners.insert(owner);
  }
  lock.unlock();
  thread_.detach();
  slot_.reset();
  return Outcome::kTimedOut;
}

bool DeadlineWorker::IsStuck(uint32_t owner) const {
  const std::lock_guard<std::mutex> lock(stuck_->mutex);
  return stuck_->owners.count(owner) != 0;
}

int DeadlineWorker::StuckCount() const {
  const std::lock_guard<std::mutex> lock(stuck_->mutex);
  return static_cast<int>(stuck_->owners.size());
}

}  // namespace VellRecorder
