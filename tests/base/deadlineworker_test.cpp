#include "utils/deadlineworker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include "testing/watchdog.h"

namespace VellRecorder {
namespace {

using Outcome = DeadlineWorker::Outcome;
using Testing::WithinOrDie;

// Long enough that a call which returns at once is never taken for a hung one on a loaded machine.
constexpr std::chrono::milliseconds kDeadline{2000};

// Calls that hang until the test opens the gate.
class Gate {
 public:
  std::function<void()> Hang(std::shared_ptr<std::atomic<int>> returned = nullptr) {
    return [opened = opened_, returned] {
      opened.wait();
      if (returned) ++*returned;
    };
  }
  void Open() { open_.set_value(); }

 private:
  std::promise<void> open_;
  std::shared_future<void> opened_ = open_.get_future().share();
};

Outcome RunWithin(DeadlineWorker& worker, uint32_t owner, std::function<void()> call) {
  Outcome outcome = Outcome::kSkipped;
  WithinOrDie(kDeadline * 3, "DeadlineWorker::Run", [&] { outcome = worker.Run(owner, std::move(call)); });
  return outcome;
}

void WaitUntilNoneStuck(const DeadlineWorker& worker) {
  WithinOrDie(Testing::kHangLimit, "abandoned calls returning", [&] {
    while (worker.StuckCount() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  });
}

TEST(DeadlineWorkerTest, HangingCallsAreAbandonedTheirOwnersSkippedAndTheStrandedThreadsBounded) {
  Gate gate;
  DeadlineWorker worker(kDeadline, 2);
  int done = 0;
  EXPECT_EQ(RunWithin(worker, 1, [&] { ++done; }), Outcome::kDone);
  EXPECT_EQ(done, 1);

  EXPECT_EQ(RunWithin(worker, 1, gate.Hang()), Outcome::kTimedOut);
  EXPECT_TRUE(worker.IsStuck(1));
  // The owner that hangs is not tried again; another one gets a new worker.
  EXPECT_EQ(RunWithin(worker, 1, [&] { ++done; }), Outcome::kSkipped);
  EXPECT_EQ(RunWithin(worker, 2, [&] { ++done; }), Outcome::kDone);
  EXPECT_EQ(done, 2);
  // A second owner hangs: the limit of stranded threads is reached and every owner is skipped.
  EXPECT_EQ(RunWithin(worker, 3, gate.Hang()), Outcome::kTimedOut);
  EXPECT_EQ(worker.StuckCount(), 2);
  EXPECT_EQ(RunWithin(worker, 4, [&] { ++done; }), Outcome::kSkipped);
  EXPECT_EQ(done, 2);

  // Once the hung calls return, their threads end and the owners are served again.
  gate.Open();
  WaitUntilNoneStuck(worker);
  EXPECT_FALSE(worker.IsStuck(1));
  EXPECT_EQ(RunWithin(worker, 1, [&] { ++done; }), Outcome::kDone);
  EXPECT_EQ(RunWithin(worker, 4, [&] { ++done; }), Outcome::kDone);
  EXPECT_EQ(done, 4);
}

TEST(DeadlineWorkerTest, DestroyingTheWorkerDoesNotWaitForAHungCallWhichStillFinishes) {
  Gate gate;
  auto returned = std::make_shared<std::atomic<int>>(0);
  auto worker = std::make_unique<DeadlineWorker>(kDeadline, 4);
  EXPECT_EQ(RunWithin(*worker, 7, gate.Hang(returned)), Outcome::kTimedOut);
  WithinOrDie(kDeadline, "destroying a worker with a hung call", [&] { worker.reset(); });
  gate.Open();
  WithinOrDie(Testing::kHangLimit, "the abandoned call returning", [&] {
    while (*returned == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  });
}

}  // namespace
}  // namespace VellRecorder
