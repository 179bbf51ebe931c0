#include "sessions/cameratimeline.h"

#include <gtest/gtest.h>

namespace VellRecorder {
namespace {

constexpr int64_t kSecond = 10000000;  // 100-ns units
constexpr int64_t kFrame = 333333;
constexpr int64_t kDelayUs = 250000;

// Frames from a session that started 250 ms after the recording, the camera's clock starting at `first`.
TEST(CameraTimelineTest, FramesAreTimedFromTheFirstFramePlusTheStartDelay) {
  for (const int64_t first : {int64_t{0}, 7 * kSecond}) {
    SCOPED_TRACE(first);
    CameraTimeline timeline;
    timeline.SessionStarted(kDelayUs);
    timeline.SessionStarted(9 * kDelayUs);  // a later start keeps the time line
    EXPECT_EQ(timeline.Stamp(first, true), kDelayUs);
    EXPECT_EQ(timeline.Stamp(first + kFrame, false), kDelayUs + kFrame / 10);
    EXPECT_EQ(timeline.Stamp(first + 2 * kFrame, false), kDelayUs + 2 * kFrame / 10);
  }
}

TEST(CameraTimelineTest, NothingBeforeTheFirstKeyframeNorOutOfOrderNorAfterStop) {
  CameraTimeline timeline;
  EXPECT_EQ(timeline.Stamp(0, false), std::nullopt);
  EXPECT_EQ(timeline.Stamp(kFrame, true), 0);  // the first keyframe is the origin
  EXPECT_EQ(timeline.Stamp(kFrame, false), std::nullopt);
  EXPECT_EQ(timeline.Stamp(0, true), std::nullopt);
  EXPECT_EQ(timeline.Stamp(2 * kFrame, false), kFrame / 10);
  timeline.Stop();
  EXPECT_EQ(timeline.Stamp(3 * kFrame, true), std::nullopt);
}

// Paused at 5 s and resumed at 8 s: the frames between are dropped, the next keyframe follows 5 s, and P-frames
// that reference dropped frames are not written.
TEST(CameraTimelineTest, APauseIsCutOutOfTheTimeLine) {
  CameraTimeline timeline;
  timeline.SessionStarted(kDelayUs);
  ASSERT_EQ(timeline.Stamp(0, true), kDelayUs);
  EXPECT_EQ(timeline.Stamp(5 * kSecond - kFrame, false), kDelayUs + (5 * kSecond - kFrame) / 10);
  timeline.Pause(5 * kSecond);
  timeline.Pause(6 * kSecond);  // paused already: the first pause counts
  EXPECT_TRUE(timeline.Paused());
  EXPECT_EQ(timeline.Stamp(6 * kSecond, true), std::nullopt);
  timeline.Resume(8 * kSecond);
  EXPECT_EQ(timeline.Stamp(8 * kSecond, false), std::nullopt) << "a P-frame after the resume";
  EXPECT_EQ(timeline.Stamp(8 * kSecond + kFrame, true), kDelayUs + (5 * kSecond + kFrame) / 10);
  timeline.Resume(9 * kSecond);  // running already: changes nothing
  EXPECT_EQ(timeline.Stamp(8 * kSecond + 2 * kFrame, false), kDelayUs + (5 * kSecond + 2 * kFrame) / 10);
}

// A pause before any frame: the first keyframe after the resume becomes the origin.
TEST(CameraTimelineTest, APauseBeforeTheFirstFrame) {
  CameraTimeline timeline;
  timeline.SessionStarted(kDelayUs);
  timeline.Pause(kSecond);
  EXPECT_EQ(timeline.Stamp(kSecond, true), std::nullopt);
  timeline.Resume(3 * kSecond);
  EXPECT_EQ(timeline.Stamp(3 * kSecond, true), kDelayUs);
}

}  // namespace
}  // namespace VellRecorder
