#include "sessions/audiomixer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace VellRecorder {
namespace {

std::vector<uint8_t> Pcm(const std::vector<int16_t>& samples) {
  std::vector<uint8_t> bytes;
  for (int16_t s : samples) {
    bytes.push_back(static_cast<uint8_t>(static_cast<uint16_t>(s) & 0xFF));
    bytes.push_back(static_cast<uint8_t>(static_cast<uint16_t>(s) >> 8));
  }
  return bytes;
}

int16_t SampleAt(const std::vector<uint8_t>& bytes, size_t index) {
  return static_cast<int16_t>(bytes[2 * index] | (bytes[2 * index + 1] << 8));
}

// A signal every sample of which differs from its neighbours, so any shift between sources shows.
int16_t Signal(size_t index) { return static_cast<int16_t>(index % 20000 + 1); }

TEST(AudioMixerTest, SumsSaturateAndASingleSourcePassesThrough) {
  struct Case {
    int16_t a, b, mixed;
  };
  const std::vector<Case> cases{{32767, 32767, 32767},   {-32768, -32768, -32768}, {20000, 20000, 32767},
                                {-20000, -20000, -32768}, {30000, -30000, 0},       {1234, -1, 1233},
                                {-32768, 32767, -1}};
  for (const Case& c : cases) {
    AudioMixer mixer(2);
    const std::vector<uint8_t> a = Pcm({c.a}), b = Pcm({c.b});
    mixer.Append(0, a.data(), a.size());
    mixer.Append(1, b.data(), b.size());
    std::vector<uint8_t> out;
    ASSERT_EQ(mixer.Mix(&out), 2u);
    EXPECT_EQ(SampleAt(out, 0), c.mixed) << c.a << " + " << c.b;
  }
  AudioMixer single(1);
  const std::vector<uint8_t> mic = Pcm({-32768, -1, 0, 1, 32767, 12345});
  single.Append(0, mic.data(), mic.size());
  std::vector<uint8_t> out{0x55};
  EXPECT_EQ(single.Mix(&out), mic.size());
  out.erase(out.begin());
  EXPECT_EQ(out, mic);
}

TEST(AudioMixerTest, OddAndLumpyDeliveriesMixSampleBySampleWithoutPadding) {
  // One source in odd-sized pieces every turn, the other in lumps up to 250 ms apart: both live, both whole.
  constexpr size_t kSamples = 96000;
  std::vector<int16_t> a(kSamples), b(kSamples);
  for (size_t i = 0; i < kSamples; ++i) {
    a[i] = Signal(i);
    b[i] = static_cast<int16_t>(-Signal(i + 7) * 3 / 2 + 9000);
  }
  const std::vector<uint8_t> a_bytes = Pcm(a), b_bytes = Pcm(b);
  AudioMixer mixer(2);
  std::vector<uint8_t> out;
  size_t a_at = 0, b_at = 0;
  for (int turn = 0; a_at < a_bytes.size() || b_at < b_bytes.size(); ++turn) {
    const size_t a_len = std::min<size_t>(turn % 2 ? 2401 : 2399, a_bytes.size() - a_at);
    mixer.Append(0, a_bytes.data() + a_at, a_len);
    a_at += a_len;
    if (turn % 10 == 9 || a_at == a_bytes.size()) {
      const size_t b_len = std::min(a_at - b_at, b_bytes.size() - b_at);  // everything up to now, at once
      mixer.Append(1, b_bytes.data() + b_at, b_len - b_len % 3);
      mixer.Append(1, b_bytes.data() + b_at + b_len - b_len % 3, b_len % 3);
      b_at += b_len;
    }
    const size_t before = out.size();
    ASSERT_EQ(mixer.Mix(&out) % 2, 0u);
    ASSERT_EQ(out.size() % 2, 0u) << before;
  }
  ASSERT_EQ(out.size(), a_bytes.size());
  for (size_t i = 0; i < kSamples; ++i) {
    ASSERT_EQ(SampleAt(out, i), std::min(32767, std::max(-32768, a[i] + b[i]))) << i;
  }
  EXPECT_EQ(mixer.SilenceFilledBytes(0) + mixer.SilenceFilledBytes(1), 0u);
}

// Ten minutes of a live source (0) beside one that delivers nothing (1), which then returns with the negative of the
// live signal: the live source is heard whole, the stalled one is padded so that nothing waits for more than the
// bound, and its returning sound follows its padding in order, none of it left out (where it belongs is the
// caller's to say, by its capture times).
TEST(AudioMixerTest, AStalledSourceIsPaddedAndItsReturnFollowsThePadding) {
  constexpr size_t kTurnBytes = 2400;  // 25 ms
  struct Case {
    size_t stall_turns;
    size_t return_lump;
  };
  for (const Case& c : {Case{10 * 60 * 40, kTurnBytes}, Case{30 * 40, 38400}}) {
    SCOPED_TRACE(c.return_lump);
    AudioMixer mixer(2);
    std::vector<uint8_t> out, bytes(kTurnBytes);
    out.reserve(c.stall_turns * kTurnBytes + (1 << 20));
    size_t live = 0;  // samples the live source delivered
    auto deliver_live = [&] {
      for (size_t i = 0; i < kTurnBytes; i += 2, ++live) {
        bytes[i] = static_cast<uint8_t>(Signal(live) & 0xFF);
        bytes[i + 1] = static_cast<uint8_t>(Signal(live) >> 8);
      }
      mixer.Append(0, bytes.data(), bytes.size());
    };
    size_t most_pending = 0;
    for (size_t t = 0; t < c.stall_turns; ++t) {
      deliver_live();
      mixer.Mix(&out);
      most_pending = std::max(most_pending, std::max(mixer.Pending(0), mixer.Pending(1)));
    }
    EXPECT_LE(most_pending, AudioMixer::kMaxLagBytes);
    ASSERT_GE(out.size(), c.stall_turns * kTurnBytes - AudioMixer::kMaxLagBytes);
    size_t heard = 0;  // a plain loop: one assertion per sample would dominate the test's time
    while (heard < out.size() / 2 && SampleAt(out, heard) == Signal(heard)) ++heard;
    ASSERT_EQ(heard, out.size() / 2);

    const uint64_t padded = mixer.SilenceFilledBytes(1);
    std::vector<int16_t> back(c.return_lump / 2);
    for (size_t i = 0; i < back.size(); ++i) back[i] = static_cast<int16_t>(-Signal(padded / 2 + i));
    const std::vector<uint8_t> lump = Pcm(back);
    mixer.Append(1, lump.data(), lump.size());
    deliver_live();
    mixer.Drain(&out);
    // The returning sound right after the padding: where it overlaps the live sound, they cancel.
    for (size_t i = 0; i < out.size() / 2; ++i) {
      const int returned = i >= padded / 2 && i < padded / 2 + back.size() ? -Signal(i) : 0;
      ASSERT_EQ(SampleAt(out, i), (i < live ? Signal(i) : 0) + returned) << i;
    }
    EXPECT_EQ(mixer.SilenceFilledBytes(0), out.size() - live * 2) << "the live source is padded only by the drain";
  }
}

}  // namespace
}  // namespace VellRecorder
