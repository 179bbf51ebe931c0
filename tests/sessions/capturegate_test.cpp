#include "sessions/capturegate.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "testing/watchdog.h"

namespace VellRecorder {
namespace {

TEST(CaptureGateTest, ReadyOnlyOnceTheNewestPublishedFrameIsReleased) {
  // Each step: publish (P) or release (R) a frame time, then whether the capture may go on.
  const struct {
    char op;
    int64_t time_us;
    bool ready;
  } steps[] = {
      {'P', 0, false},        // the first frame, at time 0, is on its way
      {'R', 0, true},         // the encoder took it
      {'P', 33000, false},    //
      {'P', 66000, false},    // published again without waiting (after a time-out)
      {'R', 33000, false},    // the older frame reaching the encoder does not free the newer one
      {'R', 66000, true},     //
      {'R', 33000, true},     // a late release of an older frame changes nothing
      {'P', 99000, false},    //
      {'R', 120000, true},    // a stage dropping a later frame releases every earlier one
  };
  CaptureGate gate;
  EXPECT_TRUE(gate.IsReady()) << "nothing published yet";
  int index = 0;
  for (const auto& step : steps) {
    if (step.op == 'P') {
      gate.Published(step.time_us);
    } else {
      gate.Released(step.time_us);
    }
    EXPECT_EQ(gate.IsReady(), step.ready) << "step " << index;
    ++index;
  }
  gate.Reset();
  EXPECT_TRUE(gate.IsReady());
  gate.Published(0);
  EXPECT_FALSE(gate.IsReady());
}

TEST(CaptureGateTest, ReleasesFromSeveralThreadsKeepTheNewest) {
  CaptureGate gate;
  gate.Published(4 * 10000 - 1);
  std::vector<std::thread> stages;
  for (int s = 0; s < 4; ++s) {
    stages.emplace_back([&gate, s] {
      for (int64_t t = s; t < 4 * 10000; t += 4) gate.Released(t);
    });
  }
  Testing::WithinOrDie(std::chrono::seconds(20), "the releasing threads", [&stages] {
    for (std::thread& stage : stages) stage.join();
  });
  EXPECT_TRUE(gate.IsReady());
  gate.Published(4 * 10000);
  EXPECT_FALSE(gate.IsReady());
}

}  // namespace
}  // namespace VellRecorder
