#include "sessions/sampletimeline.h"

#include "sessions/pauseledger.h"

#include <gtest/gtest.h>

namespace VellRecorder {
namespace {

constexpr int64_t kMs = 1000000;  // ns
constexpr int64_t kStart = 5000 * kMs;

TEST(SampleTimelineTest, FirstSampleAtItsCaptureWithTheFramePeriodThenMeasuredIntervals) {
  SampleTimeline timeline;
  timeline.Start(kStart, 30);
  const SampleTimeline::Stamp first = timeline.Next(kStart + 12 * kMs);
  EXPECT_EQ(first.time, 120000);
  EXPECT_EQ(first.duration, 333330);
  // Captures 30 ms and then 25 ms apart: each sample follows the previous by the previous duration, and carries
  // the interval measured before it.
  const SampleTimeline::Stamp second = timeline.Next(kStart + 42 * kMs);
  EXPECT_EQ(second.time, 120000 + 333330);
  EXPECT_EQ(second.duration, 120000);  // start to first capture
  const SampleTimeline::Stamp third = timeline.Next(kStart + 67 * kMs);
  EXPECT_EQ(third.time, second.time + 120000);
  EXPECT_EQ(third.duration, 300000);
}

// An hour of captures 33,333,367 ns apart: no interval is a whole number of 100-ns units, and the picture
// still keeps to the clock (cutting each interval lost 7 ms in that hour).
TEST(SampleTimelineTest, AnHourOfIntervalsLosesNothing) {
  SampleTimeline timeline;
  timeline.Start(kStart, 30);
  const SampleTimeline::Stamp first = timeline.Next(kStart + 33333367);
  SampleTimeline::Stamp last = first;
  int64_t capture = kStart + 33333367;
  for (int i = 1; i < 30 * 3600; ++i) last = timeline.Next(capture += 33333367);
  // Sample n follows the first by the frame period, then by the time from the start to capture n-2.
  EXPECT_EQ(last.time, first.time + first.duration + (capture - 2 * 33333367 - kStart) / 100);
}

TEST(SampleTimelineTest, TenSecondsPausedLeaveNoGap) {
  SampleTimeline timeline;
  timeline.Start(kStart, 30);
  int64_t now = kStart;
  SampleTimeline::Stamp last{};
  for (int i = 0; i < 5; ++i) last = timeline.Next(now += 33 * kMs);
  now += 10000 * kMs;
  timeline.Exclude(10000 * kMs);
  const SampleTimeline::Stamp after = timeline.Next(now += 33 * kMs);
  EXPECT_EQ(after.time, last.time + last.duration);
  EXPECT_EQ(after.time - last.time, 330000);
  EXPECT_EQ(timeline.Next(now + 33 * kMs).time, after.time + 330000);  // without the pause
}

// Pauses as the control thread times them, each falling between two captures (the capture thread sees a pause
// only at its next frame, and one of 10 ms perhaps not at all): every sample gets the stamp it would have had in
// the same recording without the pauses.
TEST(SampleTimelineTest, PausesBetweenCapturesLeaveOnlyTheRecordedTime) {
  SampleTimeline paused, unpaused;
  PauseLedger pauses;
  paused.Start(kStart, 30);
  unpaused.Start(kStart, 30);
  int64_t now = kStart, recorded = kStart;
  for (int i = 0; i < 30; ++i) {
    const int64_t pause_ms = i % 2 ? 100 : 10;
    pauses.Paused(now + 20 * kMs);  // 20 ms recorded after the previous capture, 5 ms before the next
    pauses.Resumed(now + (20 + pause_ms) * kMs);
    now += (25 + pause_ms) * kMs;
    recorded += 25 * kMs;
    paused.Exclude(pauses.TakeEnded());
    const SampleTimeline::Stamp stamp = paused.Next(now), expected = unpaused.Next(recorded);
    ASSERT_EQ(stamp.time, expected.time) << i;
    ASSERT_EQ(stamp.duration, expected.duration) << i;
  }
}

}  // namespace
}  // namespace VellRecorder
