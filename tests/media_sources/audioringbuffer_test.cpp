#include "media_sources/audio/audioringbuffer.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

namespace VellRecorder {
namespace {

std::vector<uint8_t> Bytes(size_t count, uint8_t first) {
  std::vector<uint8_t> bytes(count);
  std::iota(bytes.begin(), bytes.end(), first);
  return bytes;
}

TEST(AudioRingBufferTest, HoldsOneByteLessThanItsCapacityAndRefusesWholePacketsThatDoNotFit) {
  for (size_t capacity : {size_t{0}, size_t{1}, size_t{2}, size_t{9}}) {
    AudioRingBuffer ring(capacity);
    const size_t usable = capacity == 0 ? 0 : capacity - 1;
    EXPECT_EQ(ring.FreeSpace(), usable) << capacity;
    EXPECT_TRUE(ring.Write(nullptr, 0));
    const std::vector<uint8_t> fill = Bytes(usable, 1);
    EXPECT_TRUE(ring.Write(fill.data(), fill.size())) << capacity;
    const uint8_t extra = 0xEE;
    EXPECT_FALSE(ring.Write(&extra, 1)) << capacity;
    EXPECT_EQ(ring.Available(), usable);
    EXPECT_EQ(ring.FreeSpace(), 0u);
    std::vector<uint8_t> out;
    ring.ReadAll(&out);
    EXPECT_EQ(out, fill) << capacity;  // the refused byte left no trace
  }
  // A packet larger than the free space is refused whole even though part of it would fit.
  AudioRingBuffer ring(10);
  const std::vector<uint8_t> first = Bytes(6, 10);
  const std::vector<uint8_t> second = Bytes(4, 50);
  ASSERT_TRUE(ring.Write(first.data(), first.size()));
  EXPECT_FALSE(ring.Write(second.data(), second.size()));
  std::vector<uint8_t> out;
  ring.ReadAll(&out);
  EXPECT_EQ(out, first);
}

TEST(AudioRingBufferTest, WritesAndReadsAcrossTheEndOfTheStorage) {
  AudioRingBuffer ring(10);
  const std::vector<uint8_t> a = Bytes(7, 1), b = Bytes(8, 100);
  ASSERT_TRUE(ring.Write(a.data(), a.size()));
  uint8_t head[5] = {};
  ASSERT_EQ(ring.Read(head, 5), 5u);
  EXPECT_EQ(std::vector<uint8_t>(head, head + 5), Bytes(5, 1));
  ASSERT_EQ(ring.FreeSpace(), 7u);
  ASSERT_FALSE(ring.Write(b.data(), b.size()));
  ASSERT_TRUE(ring.Write(b.data(), 7));  // 3 bytes up to the end, 4 from the start
  EXPECT_EQ(ring.Available(), 9u);
  uint8_t all[16] = {};
  ASSERT_EQ(ring.Read(all, sizeof all), 9u);  // more asked than held: what is held
  const std::vector<uint8_t> expected{6, 7, 100, 101, 102, 103, 104, 105, 106};
  EXPECT_EQ(std::vector<uint8_t>(all, all + 9), expected);
  EXPECT_EQ(ring.Read(all, sizeof all), 0u);
}

TEST(AudioRingBufferTest, ReadAllAppendsAndClearDrops) {
  AudioRingBuffer ring(8);
  const std::vector<uint8_t> a = Bytes(5, 1), b = Bytes(6, 40);
  std::vector<uint8_t> out{0xAA};
  ASSERT_TRUE(ring.Write(a.data(), a.size()));
  ring.Clear();
  EXPECT_EQ(ring.Available(), 0u);
  EXPECT_EQ(ring.FreeSpace(), 7u);
  ASSERT_TRUE(ring.Write(b.data(), b.size()));  // wraps after the cleared bytes
  ring.ReadAll(&out);
  const std::vector<uint8_t> expected{0xAA, 40, 41, 42, 43, 44, 45};
  EXPECT_EQ(out, expected);
  ring.ReadAll(&out);
  EXPECT_EQ(out.size(), 7u);
}

}  // namespace
}  // namespace VellRecorder
