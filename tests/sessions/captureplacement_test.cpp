// Where captured sound is placed when the endpoint's packet times come late, sound is lost, or the device's clock
// runs apart from the system's: a simulated endpoint feeds the placement as the audio session does, and each
// packet's place is compared with its true capture time.
#include "sessions/captureplacement.h"

#include "sessions/audiomixer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <random>
#include <vector>

namespace VellRecorder {
namespace {

constexpr uint32_t kBytesPerSecond = 192000;  // 48 kHz stereo 16-bit
constexpr uint32_t kBlock = 4;
constexpr uint64_t kPacketBytes = 1920;       // 10 ms
constexpr int64_t kMs = 1000000;

int16_t SampleAt(const std::vector<uint8_t>& bytes, size_t index) {
  return static_cast<int16_t>(bytes[2 * index] | (bytes[2 * index + 1] << 8));
}

struct Endpoint {
  double ns_per_byte = 1e9 / kBytesPerSecond;  // the device's clock against the system's
  int64_t max_lag_ns = 0;                      // stamps come up to this late, some on time
  int64_t first_lag_ns = 0;
  int lose_from = -1, lose_count = 0;          // packets lost (overrun), flagged on the next one
};

struct Outcome {
  int64_t worst_error_ns = 0;  // of the packets' places in the second half
  int64_t filled = 0, dropped = 0;
};

Outcome Simulate(const Endpoint& endpoint, int packets) {
  std::mt19937 random(7);
  CapturePlacement placement;
  uint64_t placed = 0;
  Outcome outcome;
  const auto captured_at = [&](int k) {
    return 1000 * kMs + static_cast<int64_t>(k * kPacketBytes * endpoint.ns_per_byte);
  };
  const auto stamp = [&](int k, bool gap) {
    // Every fourth packet is stamped on time; the others up to the lag late, the one after a gap the most.
    if (gap) return captured_at(k) + endpoint.max_lag_ns;
    const int64_t lag = k % 4 == 0 ? 0 : static_cast<int64_t>(random() % (endpoint.max_lag_ns + 1));
    return captured_at(k) + lag;
  };
  placement.Begin(captured_at(0) + endpoint.first_lag_ns, kBytesPerSecond, kBlock);
  placed = kPacketBytes;
  for (int k = 1; k < packets; ++k) {
    if (k >= endpoint.lose_from && k < endpoint.lose_from + endpoint.lose_count) continue;
    const bool gap = k == endpoint.lose_from + endpoint.lose_count;
    const int64_t at = stamp(k, gap);
    if (gap) {
      const uint64_t silence = placement.GapSilence(at, placed);
      EXPECT_EQ(silence % kBlock, 0u);
      placed += silence;
      outcome.filled += static_cast<int64_t>(silence);
    }
    const int64_t correction = placement.Observe(at, placed);
    EXPECT_EQ(correction % kBlock, 0);
    if (k > packets / 2) {
      // Where the session puts the packet: after the stretch's first byte by the bytes placed before it.
      const int64_t error =
          placement.FirstCaptureNs() + static_cast<int64_t>(placed * 1e9 / kBytesPerSecond) - captured_at(k);
      outcome.worst_error_ns = std::max<int64_t>(outcome.worst_error_ns, std::llabs(error));
    }
    placed += kPacketBytes + correction;  // the session corrects after this packet's bytes
    (correction > 0 ? outcome.filled : outcome.dropped) += std::llabs(correction);
  }
  return outcome;
}

TEST(CapturePlacementTest, SoundStaysAtItsCaptureTimes) {
  struct Case {
    const char* name;
    Endpoint endpoint;
    int packets;
    int64_t max_error_ns;
    int64_t filled_ms, dropped_ms;  // expected within 5 ms
  };
  const double second = 1e9 / kBytesPerSecond;
  const Case cases[] = {
      {"on time", {}, 6000, 0, 0, 0},
      {"late stamps, on time first", {second, 30 * kMs}, 6000, 0, 0, 0},
      // Settling moves the stretch's first byte: nothing is dropped.
      {"first stamp 20 ms late", {second, 0, 20 * kMs}, 6000, 0, 0, 0},
      // Wine under load: 200 ms lost, the packet after the gap stamped 25 ms late.
      {"lost sound, late stamp at the gap", {second, 25 * kMs, 0, 3000, 20}, 9000, 0, 225, 25},
      // A device clock 100 ppm apart from the system's, for an hour, either way: the place is off by up to the
      // tolerance and a window's drift.
      {"slow device clock", {second * 1.0001, 0}, 360000, 6 * kMs, 360, 0},
      {"fast device clock", {second * 0.9999, 0}, 360000, 6 * kMs, 0, 360},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome outcome = Simulate(c.endpoint, c.packets);
    EXPECT_LE(outcome.worst_error_ns, std::max<int64_t>(c.max_error_ns, CapturePlacement::kToleranceNs));
    EXPECT_NEAR(outcome.filled * 1000.0 / kBytesPerSecond, c.filled_ms, 5);
    EXPECT_NEAR(outcome.dropped * 1000.0 / kBytesPerSecond, c.dropped_ms, 5);
  }
}

TEST(CapturePlacementTest, OneCorrectionIsBounded) {
  CapturePlacement placement;
  EXPECT_EQ(placement.GapSilence(50 * kMs, 0), 0u) << "before the first bytes";
  placement.Begin(0, kBytesPerSecond, kBlock);
  EXPECT_EQ(placement.GapSilence(3600000 * kMs, 0), 5u * kBytesPerSecond);
  EXPECT_EQ(placement.GapSilence(4 * kMs, 0), 0u) << "within the jitter";
  EXPECT_EQ(placement.Observe(0, 0), 0);
  EXPECT_FALSE(placement.Settled());
  EXPECT_EQ(placement.Observe(300 * kMs, 3 * kBytesPerSecond / 10), 0);
  EXPECT_TRUE(placement.Settled());
  EXPECT_EQ(placement.Observe(400 * kMs, 4 * kBytesPerSecond / 10), 0);
  EXPECT_EQ(placement.Observe(1400 * kMs, 3600u * kBytesPerSecond), -5 * int64_t{kBytesPerSecond});
}

// A source that sends no packet for 500 ms, without a discontinuity flag, beside a live one, driven as the audio
// session drives them: the mixer pads it while it lags, the placement counts that padding (MixerPadding) with its
// bytes, and its sound after the stall is at its capture times. Before, the placement did not see the padding and
// put the whole stall in again a second later: the source stayed half a second late.
TEST(CapturePlacementTest, AStallBesideAnotherSourceIsMadeUpOnce) {
  constexpr size_t kTurnFrames = 1200;  // 25 ms at 48 kHz, stereo 16-bit
  constexpr int64_t kTurnNs = 25 * kMs;
  AudioMixer mixer(2);
  CapturePlacement placement;
  MixerPadding padding;
  std::vector<uint8_t> out, packet;
  const std::vector<uint8_t> live(kTurnFrames * 2, 0);
  uint64_t placed = 0;
  for (int turn = 0; turn < 160; ++turn) {
    mixer.Append(0, live.data(), live.size());
    if (turn < 40 || turn >= 60) {
      // Its packet of this turn, resampled to mono: each sample numbers the instant it was captured at (in steps of
      // four samples, so that the numbers repeat only every 2.5 s).
      const int64_t captured = 1000 * kMs + turn * kTurnNs;
      packet.clear();
      for (size_t i = 0; i < kTurnFrames; ++i) {
        const uint16_t instant = static_cast<uint16_t>((turn * kTurnFrames + i) / 4 % 30000 + 1);
        packet.push_back(static_cast<uint8_t>(instant & 0xFF));
        packet.push_back(static_cast<uint8_t>(instant >> 8));
      }
      int64_t correction = 0;
      if (!placement.Begun()) {
        placement.Begin(captured, kBytesPerSecond, kBlock);
        padding.Restart(mixer.SilenceFilledBytes(1), kBytesPerSecond, kBlock);
      } else {
        correction = placement.Observe(captured, placed);
      }
      placed += kTurnFrames * kBlock + correction;
      // Silence after the packet, or its last bytes left out: four capture bytes are one mono sample.
      packet.resize(static_cast<size_t>(static_cast<int64_t>(packet.size()) + correction / 2), 0);
      mixer.Append(1, packet.data(), packet.size());
    }
    mixer.Mix(&out);
    placed += padding.Grown(mixer.SilenceFilledBytes(1));
  }
  // Where the last sound mixed lies against the instant it was captured at.
  size_t at = out.size() / 2;
  while (at > 0 && SampleAt(out, at - 1) == 0) --at;
  ASSERT_GT(at, 0u);
  const int64_t late = (static_cast<int64_t>(at - 1) - 4 * (SampleAt(out, at - 1) - 1) + 180000) % 120000 - 60000;
  EXPECT_LE(std::llabs(late) * kMs / 48, CapturePlacement::kToleranceNs) << late << " samples late";
}

}  // namespace
}  // namespace VellRecorder
