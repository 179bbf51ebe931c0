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

}  // namespace
}  // namespace VellRecorder
