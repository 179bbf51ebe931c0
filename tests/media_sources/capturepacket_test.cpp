#include "media_sources/audio/capturepacket.h"

#include <gtest/gtest.h>

namespace VellRecorder {
namespace {

// The flag combinations an endpoint can report, and how each packet is accounted for.
TEST(CapturePacketTest, DiscontinuityAndSilenceRules) {
  struct Case {
    uint32_t flags;
    bool counted;
    bool silent;
  };
  const Case cases[] = {
      {0, false, false},
      {kPacketDataDiscontinuity, true, false},
      {kPacketDataDiscontinuity | kPacketSilent, false, true},  // the stream starting: not a gap
      {kPacketDataDiscontinuity | kPacketTimestampError, false, false},
      {kPacketSilent, false, true},
      {kPacketTimestampError, false, false},
      {kPacketSilent | kPacketTimestampError, false, true},
      {0x8 | kPacketDataDiscontinuity, false, false},  // an unknown flag beside it
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CountsAsDiscontinuity(c.flags), c.counted) << "flags " << c.flags;
    EXPECT_EQ(IsSilentPacket(c.flags), c.silent) << "flags " << c.flags;
  }
}

// A silent packet enters the ring as zeros whatever its bytes; others as they are; none when it does not fit.
TEST(CapturePacketTest, WritePacket) {
  AudioRingBuffer ring(16);
  std::vector<uint8_t> scratch;
  const uint8_t bytes[6] = {1, 2, 3, 4, 5, 6};
  EXPECT_TRUE(WritePacket(&ring, bytes, 4, 0, &scratch));
  EXPECT_TRUE(WritePacket(&ring, bytes, 4, kPacketSilent | kPacketDataDiscontinuity, &scratch));
  EXPECT_TRUE(WritePacket(&ring, nullptr, 2, kPacketSilent, &scratch));
  EXPECT_FALSE(WritePacket(&ring, bytes, 6, 0, &scratch));
  std::vector<uint8_t> out;
  ring.ReadAll(&out);
  EXPECT_EQ(out, std::vector<uint8_t>({1, 2, 3, 4, 0, 0, 0, 0, 0, 0}));
}

}  // namespace
}  // namespace VellRecorder
