#include "muxers/wavwriter.h"

#include <algorithm>

#include <gtest/gtest.h>

namespace VellRecorder {
namespace {

uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
  return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 | uint32_t{b[at + 3]} << 24;
}
uint16_t Le16(const std::vector<uint8_t>& b, size_t at) { return static_cast<uint16_t>(b[at] | b[at + 1] << 8); }
std::string Tag(const std::vector<uint8_t>& b, size_t at) { return std::string(b.begin() + long(at), b.begin() + long(at) + 4); }

TEST(WavWriterTest, OneSecondOfMono16BitSilenceAt48kHz) {
  const auto wav = MakeSilenceWav(PcmFormat{1, 48000, 96000, 2, 16});
  ASSERT_EQ(wav.size(), 96044u);
  const std::vector<uint8_t> header(wav.begin(), wav.begin() + 44);
  const std::vector<uint8_t> expected = {
      'R', 'I', 'F', 'F', 0x24, 0x77, 0x01, 0x00, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ',
      0x10, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x80, 0xBB, 0x00, 0x00, 0x00, 0x77, 0x01, 0x00,
      0x02, 0x00, 0x10, 0x00, 'd', 'a', 't', 'a', 0x00, 0x77, 0x01, 0x00};
  EXPECT_EQ(header, expected);
  EXPECT_TRUE(std::all_of(wav.begin() + 44, wav.end(), [](uint8_t b) { return b == 0; }));
}

TEST(WavWriterTest, SizesFollowTheFormat) {
  // Stereo 24-bit at 44.1 kHz, given a non-PCM style average rate: RIFF size follows the given rate,
  // byte rate and data size are computed.
  const auto wav = MakeSilenceWav(PcmFormat{2, 44100, 1000, 6, 24});
  EXPECT_EQ(wav.size(), 44u + 264600u);
  EXPECT_EQ(Tag(wav, 0), "RIFF");
  EXPECT_EQ(Le32(wav, 4), 1036u);
  EXPECT_EQ(Le16(wav, 20), 1u);
  EXPECT_EQ(Le16(wav, 22), 2u);
  EXPECT_EQ(Le32(wav, 24), 44100u);
  EXPECT_EQ(Le32(wav, 28), 264600u);
  EXPECT_EQ(Le16(wav, 32), 6u);
  EXPECT_EQ(Le16(wav, 34), 24u);
  EXPECT_EQ(Tag(wav, 36), "data");
  EXPECT_EQ(Le32(wav, 40), 264600u);
}

}  // namespace
}  // namespace VellRecorder
