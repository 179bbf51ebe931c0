// The audio time line: where stretches of sound begin, how sources starting late are aligned, and which time
// an AAC frame gets.
#include "sessions/audiotimeline.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace VellRecorder {
namespace {

constexpr int64_t kStart = 5000000000;  // 5 s on the monotonic clock
constexpr int64_t kMs = 1000000;        // ns

// Mixed PCM of `samples` samples through the chunker; returns the chunk times.
std::vector<int64_t> Chunk(AudioChunker* chunker, uint64_t samples) {
  std::vector<uint8_t> pcm(samples * 2);
  std::vector<int64_t> times;
  chunker->TakeChunks(&pcm, [&](const uint8_t*, size_t, int64_t time, int64_t) { times.push_back(time); });
  return times;
}

TEST(AudioTimelineTest, StretchesBeginAtTheirCaptureTimeWithoutThePausesAndNeverGoBack) {
  struct Case {
    const char* name;
    int64_t first_capture_ns;   // of the first stretch
    int64_t resume_capture_ns;  // first sample after the resume
    int64_t paused_ns;
    int64_t first_time;   // 100 ns
    int64_t resume_time;  // 100 ns
  } cases[] = {
      // First packet 700 ms after the start; 512 samples (106,666 units) recorded before a 2 s pause; the first
      // sample after it is captured 2.8 s after the start: 0.8 s without the pause.
      {"late first packet", kStart + 700 * kMs, kStart + 2800 * kMs, 2000 * kMs, 7000000, 8000000},
      // A backlog captured before the start goes to the start.
      {"backlog before the start", kStart - 30 * kMs, kStart + 2100 * kMs, 2000 * kMs, 0, 1000000},
      // The sound ran ahead of the clock: the resumed stretch follows the previous one without an overlap.
      {"resume before the previous end", kStart + 700 * kMs, kStart + 2710 * kMs, 2000 * kMs, 7000000, 7106666},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AudioTimeline timeline;
    AudioChunker chunker;
    timeline.Start(kStart);
    timeline.BeginStretch(0);
    timeline.Anchor(c.first_capture_ns, &chunker);
    EXPECT_EQ(Chunk(&chunker, 512 + 100), std::vector<int64_t>{c.first_time});
    timeline.BeginStretch(c.paused_ns);
    EXPECT_FALSE(timeline.Anchored());
    timeline.Anchor(c.resume_capture_ns, &chunker);
    // The 100 samples left over belong to the previous stretch and are dropped by the session.
    const std::vector<int64_t> resumed = Chunk(&chunker, 1024);
    ASSERT_EQ(resumed.size(), 2u);
    EXPECT_EQ(resumed[0], c.resume_time);
    EXPECT_NEAR(resumed[1] - resumed[0], 106667, 1);
  }
}

TEST(AudioTimelineTest, ASourceStartingLaterIsPrecededBySilenceUpToItsCaptureTime) {
  AudioTimeline timeline;
  AudioChunker chunker;
  timeline.Start(kStart);
  timeline.BeginStretch(0);
  EXPECT_EQ(timeline.LeadingSilence(kStart + 500 * kMs, 0), 0u) << "nothing to align with before the anchor";
  timeline.Anchor(kStart + 500 * kMs, &chunker);
  // A source whose first sample was captured 120 ms after the anchor, with nothing of it mixed yet.
  EXPECT_EQ(timeline.LeadingSilence(kStart + 620 * kMs, 0), 5760u);
  // The mixer already padded it past that point: no more silence.
  EXPECT_EQ(timeline.LeadingSilence(kStart + 620 * kMs, 6000), 0u);
  // Captured before the anchor: placed at once.
  EXPECT_EQ(timeline.LeadingSilence(kStart + 400 * kMs, 0), 0u);
  // A first packet two seconds late is placed where it was captured; a broken capture time costs at most 5 s.
  EXPECT_EQ(timeline.LeadingSilence(kStart + 2500 * kMs, 0), 96000u);
  EXPECT_EQ(timeline.LeadingSilence(kStart + 60000 * kMs, 0), 5u * 48000);
}

// A frame is stamped with the time of the sound it begins with, 1600 samples before its own place in the
// encoder's input; the two frames before any input are left out; a pause's jump in the chunk times is followed.
TEST(AudioTimelineTest, AFrameHasTheTimeOfTheSoundItCarries) {
  AudioTimeline timeline;
  int64_t time = -1;
  using FrameTime = AudioTimeline::FrameTime;
  EXPECT_EQ(timeline.TakeFrameTime(&time), FrameTime::kPriming);
  EXPECT_EQ(timeline.TakeFrameTime(&time), FrameTime::kPriming);
  EXPECT_EQ(timeline.TakeFrameTime(&time), FrameTime::kUnknown);  // no input at all

  AudioTimeline resumed;
  const auto at = [](int64_t samples) { return samples * 10000000 / 48000; };  // 100 ns units
  // Chunks 0-3 from 1 s; chunks 4-7 after a pause of 10 s. A chunk lasts 512 samples: 106,666.7 units.
  for (int64_t chunk = 0; chunk < 8; ++chunk) {
    resumed.ChunkAccepted(10000000 + (chunk >= 4 ? 100000000 : 0) + at(chunk * 512));
  }
  std::vector<int64_t> frames;
  std::vector<FrameTime> kinds;
  for (int i = 0; i < 7; ++i) {
    time = -1;
    kinds.push_back(resumed.TakeFrameTime(&time));
    frames.push_back(time);
  }
  EXPECT_EQ(kinds, (std::vector<FrameTime>{FrameTime::kPriming, FrameTime::kPriming, FrameTime::kStamped,
                                           FrameTime::kStamped, FrameTime::kStamped, FrameTime::kStamped,
                                           FrameTime::kUnknown}));
  // Samples 448, 1472 and 2496: 448 into chunks 0, 2 and 4 (the resumed stretch's first). The input's 4096
  // samples end in the fourth stamped frame.
  EXPECT_EQ(frames[2], 10000000 + at(448));
  EXPECT_EQ(frames[3], 10000000 + at(1024) + at(448));
  EXPECT_EQ(frames[4], 110000000 + at(2048) + at(448));
}

}  // namespace
}  // namespace VellRecorder
