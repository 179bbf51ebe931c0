#include "sessions/audiochunker.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

namespace VellRecorder {
namespace {

struct Chunk {
  std::vector<uint8_t> bytes;
  int64_t time;
  int64_t duration;
};

size_t Take(AudioChunker* chunker, std::vector<uint8_t>* pcm, std::vector<Chunk>* chunks) {
  return chunker->TakeChunks(pcm, [&](const uint8_t* data, size_t size, int64_t time, int64_t duration) {
    chunks->push_back({std::vector<uint8_t>(data, data + size), time, duration});
  });
}

TEST(AudioChunkerTest, CutsWholeChunksKeepsTheRestAndStampsFromTheOrigin) {
  AudioChunker chunker;
  EXPECT_FALSE(chunker.HasOrigin());
  chunker.SetOrigin(1234567);
  EXPECT_TRUE(chunker.HasOrigin());
  std::vector<uint8_t> pcm(2500);
  for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<uint8_t>(i * 7);
  const std::vector<uint8_t> input = pcm;
  std::vector<Chunk> chunks;
  ASSERT_EQ(Take(&chunker, &pcm, &chunks), 2u);
  ASSERT_EQ(chunks.size(), 2u);
  EXPECT_EQ(chunks[0].bytes, std::vector<uint8_t>(input.begin(), input.begin() + 1024));
  EXPECT_EQ(chunks[1].bytes, std::vector<uint8_t>(input.begin() + 1024, input.begin() + 2048));
  EXPECT_EQ(chunks[0].time, 1234567);
  EXPECT_EQ(chunks[0].duration, 106666);  // 512 samples: 106,666.67 rounded down
  EXPECT_EQ(chunks[1].time, 1234567 + 106666);
  EXPECT_EQ(chunks[1].duration, 106667);  // sample 1024 falls at 213,333.3
  EXPECT_EQ(pcm, std::vector<uint8_t>(input.begin() + 2048, input.end()));  // 452 bytes kept
  EXPECT_EQ(chunker.SamplesConsumed(), 1024u);
  EXPECT_EQ(chunker.NextChunkTime100ns(), 1234567 + 213333);
}

TEST(AudioChunkerTest, AnHourOfChunksEndsExactlyAnHourAfterTheOrigin) {
  constexpr int64_t kOrigin = 4150000;  // the first loop turn came 415 ms after the start
  AudioChunker chunker;
  chunker.SetOrigin(kOrigin);
  std::vector<uint8_t> pcm;
  int64_t expected_time = kOrigin;
  size_t chunks = 0;
  bool contiguous = true;
  const auto deliver = [&](const uint8_t*, size_t size, int64_t time, int64_t duration) {
    contiguous = contiguous && size == 1024 && time == expected_time && (duration == 106666 || duration == 106667);
    expected_time = time + duration;
    ++chunks;
  };
  // 25 ms of mixed audio per loop turn; no turn holds a whole number of chunks.
  for (int turn = 0; turn < 3600 * 40; ++turn) {
    pcm.resize(pcm.size() + 2400);
    chunker.TakeChunks(&pcm, deliver);
  }
  EXPECT_TRUE(contiguous);
  EXPECT_EQ(chunks, 337500u);
  EXPECT_TRUE(pcm.empty());
  EXPECT_EQ(chunker.SamplesConsumed(), 172800000u);
  // A clock stepping 10,666 us per chunk would end here about 225 ms early.
  EXPECT_EQ(chunker.NextChunkTime100ns(), kOrigin + 36000000000);
  EXPECT_EQ(expected_time, kOrigin + 36000000000);
}

TEST(AudioChunkerTest, AChunkWhoseDeliveryThrowsIsNotDeliveredAgain) {
  AudioChunker chunker;
  std::vector<uint8_t> pcm(3 * 1024 + 10);
  for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<uint8_t>(i / 1024);
  int calls = 0;
  EXPECT_THROW(chunker.TakeChunks(&pcm,
                                  [&](const uint8_t*, size_t, int64_t, int64_t) {
                                    if (++calls == 2) throw std::runtime_error("mux failed");
                                  }),
               std::runtime_error);
  EXPECT_EQ(pcm.size(), 1024u + 10u);
  std::vector<Chunk> chunks;
  ASSERT_EQ(Take(&chunker, &pcm, &chunks), 1u);
  EXPECT_EQ(chunks[0].bytes, std::vector<uint8_t>(1024, 2));  // the third chunk, with the third chunk's time
  EXPECT_EQ(chunks[0].time, 213333);
}

}  // namespace
}  // namespace VellRecorder
