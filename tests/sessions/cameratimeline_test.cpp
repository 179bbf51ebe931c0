#include "sessions/cameratimeline.h"

#include <gtest/gtest.h>

namespace VellRecorder {
namespace {

constexpr int64_t kSecond = 10000000;  // 100-ns units
constexpr int64_t kFrame = 333333;
constexpr int64_t kDelayUs = 250000;
constexpr int64_t kStartNs = 5'000'000'000'000;

// The monotonic clock `ms` milliseconds after the recording start.
constexpr int64_t At(int64_t ms) { return kStartNs + ms * 1'000'000; }

class CameraTimelineTest : public ::testing::Test {
 protected:
  CameraTimelineTest() { timeline.Start(kStartNs); }
  CameraTimeline timeline;
};

// A session started 250 ms after the recording, its clock at `clock` then; its camera's first frame comes 100 ms
// later and is stamped so, not at the session's start.
TEST_F(CameraTimelineTest, FramesAreStampedByTheirOwnTimeFromTheSessionStart) {
  for (const int64_t clock : {int64_t{0}, 7 * kSecond}) {
    SCOPED_TRACE(clock);
    CameraTimeline timeline;
    timeline.Start(kStartNs);
    EXPECT_EQ(timeline.Stamp(clock, true), std::nullopt) << "before the session started";
    timeline.SessionStarted(clock, At(250));
    const int64_t first = clock + kSecond / 10;
    EXPECT_EQ(timeline.Stamp(first, true), kDelayUs + 100000);
    EXPECT_EQ(timeline.Stamp(first + kFrame, false), kDelayUs + 100000 + kFrame / 10);
  }
}

TEST_F(CameraTimelineTest, NothingBeforeTheFirstKeyframeNorTheStartNorOutOfOrderNorAfterStop) {
  timeline.SessionStarted(kSecond, At(0));
  EXPECT_EQ(timeline.Stamp(kSecond - kFrame, true), std::nullopt) << "before the recording start";
  EXPECT_EQ(timeline.Stamp(kSecond, false), std::nullopt);
  EXPECT_EQ(timeline.Stamp(kSecond + kFrame, true), kFrame / 10);
  EXPECT_EQ(timeline.Stamp(kSecond + kFrame, false), std::nullopt);
  EXPECT_EQ(timeline.Stamp(kSecond, true), std::nullopt);
  EXPECT_EQ(timeline.Stamp(kSecond + 2 * kFrame, false), 2 * kFrame / 10);
  timeline.Stop(At(1000));
  EXPECT_EQ(timeline.Stamp(kSecond + 3 * kFrame, true), std::nullopt);
  EXPECT_EQ(timeline.LostUs(), 0);
}

// Paused at 5 s and resumed at 8 s: the frames between are dropped, the next keyframe follows 5 s, and P-frames
// that reference dropped frames are not written; the one frame they cost is counted.
TEST_F(CameraTimelineTest, APauseIsCutOutOfTheTimeLine) {
  timeline.SessionStarted(0, At(250));
  ASSERT_EQ(timeline.Stamp(0, true), kDelayUs);
  EXPECT_EQ(timeline.Stamp(5 * kSecond - 2 * kFrame, false), kDelayUs + (5 * kSecond - 2 * kFrame) / 10);
  EXPECT_EQ(timeline.Stamp(5 * kSecond - kFrame, false), kDelayUs + (5 * kSecond - kFrame) / 10);
  timeline.Pause(5 * kSecond, At(5250));
  timeline.Pause(6 * kSecond, At(6250));  // paused already: the first pause counts
  EXPECT_TRUE(timeline.Paused());
  EXPECT_EQ(timeline.Stamp(6 * kSecond, true), std::nullopt);
  timeline.Resume(8 * kSecond, At(8250));
  EXPECT_TRUE(timeline.WaitingForKeyframe());
  EXPECT_EQ(timeline.Stamp(8 * kSecond, false), std::nullopt) << "a P-frame after the resume";
  EXPECT_EQ(timeline.Stamp(8 * kSecond + kFrame, true), kDelayUs + (5 * kSecond + kFrame) / 10);
  timeline.Resume(9 * kSecond, At(9250));  // running already: changes nothing
  EXPECT_EQ(timeline.Stamp(8 * kSecond + 2 * kFrame, false), kDelayUs + (5 * kSecond + 2 * kFrame) / 10);
  EXPECT_NEAR(timeline.LostUs(), kFrame / 10, 1);
}

// A pause before any frame: the session's tie moves by the pause, and nothing is counted lost.
TEST_F(CameraTimelineTest, APauseBeforeTheFirstFrame) {
  timeline.SessionStarted(0, At(250));
  timeline.Pause(kSecond, At(1250));
  EXPECT_EQ(timeline.Stamp(kSecond, true), std::nullopt);
  timeline.Resume(3 * kSecond, At(3250));
  EXPECT_EQ(timeline.Stamp(3 * kSecond, true), kDelayUs + kSecond / 10);
  EXPECT_EQ(timeline.LostUs(), 0);
}

// The camera is lost at 2 s, the recording paused for 1 s meanwhile, and a new session starts at 5 s (4 s of
// recording) with a clock of its own: its frames go on from there, after a keyframe, and the 2 s without video
// are counted. An encoder that then ignores keyframe requests after a resume costs the rest, up to the stop.
TEST_F(CameraTimelineTest, ALostCameraAndAKeyframeThatNeverComesAreCounted) {
  timeline.SessionStarted(0, At(0));
  ASSERT_EQ(timeline.Stamp(2 * kSecond - 2 * kFrame, true), (2 * kSecond - 2 * kFrame) / 10);
  ASSERT_EQ(timeline.Stamp(2 * kSecond - kFrame, false), (2 * kSecond - kFrame) / 10);
  timeline.Lost(At(2100));
  EXPECT_EQ(timeline.Stamp(2 * kSecond, false), std::nullopt) << "a frame of the lost session";
  timeline.Pause(0, At(3000));
  timeline.Resume(0, At(4000));
  timeline.SessionStarted(kSecond, At(5000));
  EXPECT_EQ(timeline.Stamp(kSecond, false), std::nullopt);
  ASSERT_EQ(timeline.Stamp(kSecond + kFrame, true), 4 * 1000000 + kFrame / 10);
  EXPECT_NEAR(timeline.LostUs(), 2 * 1000000 + kFrame / 10, 1);

  const int64_t before = timeline.LostUs();
  ASSERT_TRUE(timeline.Stamp(2 * kSecond - kFrame, false));
  timeline.Pause(2 * kSecond, At(6000));
  timeline.Resume(2 * kSecond, At(6500));
  EXPECT_EQ(timeline.Stamp(2 * kSecond + kFrame, false), std::nullopt);
  timeline.Stop(At(8500));
  EXPECT_EQ(timeline.LostUs() - before, 2 * 1000000);
}

// A camera that never delivers: the whole recording but its pause. One reopened while paused is tied to the
// pause and stamped from the resume on.
TEST_F(CameraTimelineTest, ACameraLostFromTheStartAndOneBackWhilePaused) {
  CameraTimeline never;
  never.Start(kStartNs);
  never.Lost(At(0));
  never.Pause(0, At(1000));
  never.Resume(0, At(3000));
  never.Stop(At(10000));
  EXPECT_EQ(never.LostUs(), 8 * 1000000);

  timeline.Lost(At(0));
  timeline.Pause(0, At(1000));
  timeline.SessionStarted(kSecond, At(2000));
  EXPECT_EQ(timeline.Stamp(kSecond, true), std::nullopt) << "paused";
  timeline.Resume(4 * kSecond, At(5000));
  EXPECT_EQ(timeline.Stamp(4 * kSecond, true), 1000000);
  EXPECT_EQ(timeline.LostUs(), 1000000);
}

// The session's start is read from its events after its first frames came: the first frame ties the session to
// the clock and is written (an encoder may make no other keyframe), and the start, when read, changes nothing.
TEST_F(CameraTimelineTest, AFrameBeforeTheSessionStartIsRead) {
  timeline.FrameBeforeSessionStart(kSecond, At(300));
  EXPECT_EQ(timeline.Stamp(kSecond, true), 300000);
  timeline.SessionStarted(kSecond + kFrame, At(340));
  EXPECT_EQ(timeline.Stamp(kSecond + kFrame, false), 300000 + kFrame / 10);
  EXPECT_FALSE(timeline.WaitingForKeyframe());
  // A later session (the camera opened again) is tied by its start as before.
  timeline.Lost(At(1000));
  timeline.SessionStarted(0, At(2000));
  timeline.FrameBeforeSessionStart(5 * kSecond, At(2500));
  EXPECT_EQ(timeline.Stamp(kSecond, true), 3000000);
}

}  // namespace
}  // namespace VellRecorder
