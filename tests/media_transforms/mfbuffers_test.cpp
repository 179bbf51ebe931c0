#include <windows.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "media_transforms/bufferloader.h"
#include "media_transforms/safemfbuffer.h"
#include "mftestsupport.h"
#include "testing/watchdog.h"

namespace VellRecorder {
namespace {

using Testing::FakeBuffer;
using Testing::MakeBuffer;

TEST(BufferLoaderTest, LoadsOnceWithEitherLengthAndUnlocksOnlyWhatItLocked) {
  FakeBuffer buffer(100, 40);
  {
    BufferLoader loader(static_cast<IMFMediaBuffer*>(&buffer));
    EXPECT_EQ(buffer.refs(), 2u);
    const auto bytes = loader.LoadMaxLength();
    ASSERT_TRUE(bytes);
    EXPECT_EQ(bytes->length, 100u);
    EXPECT_NE(bytes->data, nullptr);
    EXPECT_FALSE(loader.LoadMaxLength());
    EXPECT_FALSE(loader.LoadCurrentLength());
    EXPECT_EQ(buffer.locks, 1);
    EXPECT_EQ(buffer.unlocks, 0);
  }
  EXPECT_EQ(buffer.unlocks, 1);
  EXPECT_EQ(buffer.refs(), 1u);
  {
    BufferLoader loader(static_cast<IMFMediaBuffer*>(&buffer));
    const auto bytes = loader.LoadCurrentLength();
    ASSERT_TRUE(bytes);
    EXPECT_EQ(bytes->length, 40u);
  }
  EXPECT_EQ(buffer.unlocks, 2);
  // A refused lock gives nothing, and nothing is unlocked for it.
  buffer.refuse_lock = true;
  EXPECT_FALSE(BufferLoader(static_cast<IMFMediaBuffer*>(&buffer)).LoadMaxLength());
  EXPECT_EQ(buffer.unlocks, 2);
  EXPECT_EQ(buffer.refs(), 1u);
}

TEST(BufferLoaderTest, SampleBuffersAreMergedAndAnEmptySampleGivesNothing) {
  ComPtr<IMFSample> sample;
  ASSERT_EQ(MFCreateSample(sample.ReleaseAndGetAddressOf()), S_OK);
  EXPECT_FALSE(BufferLoader(sample.Get()).LoadMaxLength());
  ASSERT_EQ(sample->AddBuffer(MakeBuffer({1, 2, 3}).Get()), S_OK);
  ASSERT_EQ(sample->AddBuffer(MakeBuffer({4, 5}).Get()), S_OK);
  BufferLoader loader(sample.Get());
  const auto bytes = loader.LoadCurrentLength();
  ASSERT_TRUE(bytes);
  ASSERT_EQ(bytes->length, 5u);
  EXPECT_EQ(std::vector<uint8_t>(bytes->data, bytes->data + 5), (std::vector<uint8_t>{1, 2, 3, 4, 5}));
}

// The frame clock keeps whole microseconds since the start; a publish hands buffer and timing over, and
// the sample carries them in 100-ns units.
TEST(SafeMFBufferTest, StampsAccumulateAndPublishSharesBufferAndTiming) {
  const int64_t start = 5000000000;
  SafeMFBuffer upstream(start);
  SafeMFBuffer downstream(start);
  EXPECT_EQ(upstream.LastStampNs(), start);
  *upstream.MutableBuffer() = MakeBuffer({9, 8, 7});
  upstream.Stamp(start + 20000999);
  EXPECT_EQ(upstream.DurationUs(), 20000);
  EXPECT_EQ(upstream.TimeUs(), 20000);
  // Intervals of 33,333,333 ns: the time stays whole microseconds of the clock's time since the start, and the
  // durations add up to it (each interval cut to whole microseconds lost a third of one here).
  int64_t durations = 20000;
  int64_t taken = start + 20000999;
  for (int i = 0; i < 5000; ++i) {
    taken += 33333333;
    upstream.Stamp(taken);
    durations += upstream.DurationUs();
  }
  EXPECT_EQ(upstream.TimeUs(), (taken - start) / 1000);
  EXPECT_EQ(upstream.TimeUs(), durations);
  // Paused time left out: the next frame follows as if the pause had not been.
  upstream.ExcludeFromClock(1000000000);
  upstream.Stamp(taken + 1033333333);
  EXPECT_EQ(upstream.TimeUs(), (taken + 33333333 - start) / 1000);

  upstream.PublishTo(&downstream);
  EXPECT_EQ(downstream.Buffer(), upstream.Buffer());
  EXPECT_EQ(downstream.TimeUs(), upstream.TimeUs());
  EXPECT_EQ(downstream.DurationUs(), upstream.DurationUs());
  EXPECT_EQ(downstream.LastStampNs(), upstream.LastStampNs());
  ComPtr<IMFSample> sample;
  ASSERT_EQ(downstream.CreateSample(&sample), S_OK);
  LONGLONG time = 0, duration = 0;
  ASSERT_EQ(sample->GetSampleTime(&time), S_OK);
  ASSERT_EQ(sample->GetSampleDuration(&duration), S_OK);
  EXPECT_EQ(time, upstream.TimeUs() * 10);
  EXPECT_EQ(duration, upstream.DurationUs() * 10);
  EXPECT_EQ(Testing::ReadSample(sample.Get()), (std::vector<uint8_t>{9, 8, 7}));

  // The downstream slot keeps its own reference: replacing the upstream buffer does not touch it.
  *upstream.MutableBuffer() = MakeBuffer({1});
  EXPECT_EQ(Testing::ReadBuffer(downstream.Buffer()), (std::vector<uint8_t>{9, 8, 7}));
}

TEST(SafeMFBufferTest, PublishWaitsWhileTheReaderHoldsTheSlot) {
  SafeMFBuffer upstream(0);
  SafeMFBuffer downstream(0);
  *upstream.MutableBuffer() = MakeBuffer({1, 2});
  std::atomic<bool> published{false};
  auto reading = downstream.Lock();
  std::thread publisher([&] {
    upstream.PublishTo(&downstream);
    published = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(published);
  EXPECT_EQ(downstream.Buffer(), nullptr);
  reading.unlock();
  Testing::WithinOrDie(Testing::kHangLimit, "PublishTo after the reader let go", [&] { publisher.join(); });
  EXPECT_TRUE(published);
  EXPECT_EQ(downstream.Buffer(), upstream.Buffer());
}

}  // namespace
}  // namespace VellRecorder
