#include "sessions/framepacer.h"

#include <gtest/gtest.h>

#include <utility>

namespace VellRecorder {
namespace {

constexpr int64_t kInterval = 33333333;  // 30 frames per second

TEST(FramePacerTest, FirstCaptureAndCapturesAfterResetAreDueAtOnce) {
  FramePacer pacer(kInterval);
  EXPECT_EQ(pacer.NanosecondsUntilDue(5000), 0);
  pacer.Taken(5000);
  EXPECT_EQ(pacer.NanosecondsUntilDue(5000), kInterval);
  EXPECT_EQ(pacer.NanosecondsUntilDue(5000 + kInterval - 1), 1);
  EXPECT_EQ(pacer.NanosecondsUntilDue(5000 + kInterval), 0);
  pacer.Reset();
  EXPECT_EQ(pacer.NanosecondsUntilDue(5001), 0);
}

TEST(FramePacerTest, SlightlyLateCapturesKeepThePhaseSoTheRateStaysExact) {
  FramePacer pacer(kInterval);
  int64_t now = 1000000;
  pacer.Taken(now);
  // Every capture wakes 3 ms late; the schedule still advances by whole intervals from the first one.
  for (int frame = 1; frame <= 300; ++frame) {
    now += pacer.NanosecondsUntilDue(now) + 3000000;
    pacer.Taken(now);
  }
  EXPECT_EQ(pacer.NanosecondsUntilDue(now), 1000000 + 301 * kInterval - now);
  EXPECT_EQ(now, 1000000 + 300 * kInterval + 3000000);
}

TEST(FramePacerTest, ALoopThatFellBehindMakesUpOneFrameAndNoMore) {
  FramePacer pacer(kInterval);
  pacer.Taken(0);
  // A stall of several intervals: one capture is due at once to make up for it...
  const int64_t late = kInterval * 5 / 2;
  pacer.Taken(late);
  EXPECT_EQ(pacer.NanosecondsUntilDue(late), 0);
  // ...and the one after it is a whole interval after the stalled one, not another catch-up.
  const int64_t made_up = late + 4000000;
  pacer.Taken(made_up);
  EXPECT_EQ(pacer.NanosecondsUntilDue(made_up), late + kInterval - made_up);
  // Late by just under an interval: still on that phase, so due sooner than a full interval.
  const int64_t due = late + kInterval;
  pacer.Taken(due + kInterval - 1);
  EXPECT_EQ(pacer.NanosecondsUntilDue(due + kInterval - 1), 1);
}

TEST(FramePacerTest, ACaptureSlowerThanTheIntervalRunsBackToBackAtItsOwnRate) {
  FramePacer pacer(kInterval);
  // Each capture takes 50 ms: the pacer never adds a wait, so the loop runs at 20 per second.
  for (int64_t now = 0; now < 10 * 1000000000LL; now += 50000000) {
    EXPECT_EQ(pacer.NanosecondsUntilDue(now), 0) << "at " << now;
    pacer.Taken(now);
  }
}

TEST(FramePacerTest, WaitsRoundUpToWholeMilliseconds) {
  const std::pair<int64_t, uint32_t> cases[] = {{-5, 0}, {0, 0}, {1, 1}, {1000000, 1}, {1000001, 2}, {kInterval, 34}};
  for (const auto& [ns, ms] : cases) EXPECT_EQ(WaitMilliseconds(ns), ms) << ns;
}

}  // namespace
}  // namespace VellRecorder
