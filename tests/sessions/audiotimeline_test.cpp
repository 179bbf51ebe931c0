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

TEST(AudioTimelineTest, AFrameHasItsFirstChunksTime) {
  AudioTimeline timeline;
  int64_t time = -1;
  EXPECT_FALSE(timeline.TakeFrameTime(&time));
  for (int64_t t : {100, 200, 300, 400, 500}) timeline.ChunkAccepted(t);
  std::vector<int64_t> frames;
  while (timeline.TakeFrameTime(&time)) frames.push_back(time);
  // The last frame is the drained, partial one.
  EXPECT_EQ(frames, (std::vector<int64_t>{100, 300, 500}));
}

}  // namespace
}  // namespace VellRecorder
