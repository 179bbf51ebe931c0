#include <gtest/gtest.h>

#include "media_transforms/encodersettings.h"

namespace VellRecorder {
namespace {

TEST(BitrateTableTest, FirstRowWhoseAreaIsAtLeastTheFrameAreaAndTheLastRowBeyondIt) {
  const BitrateTable table;
  const struct {
    uint32_t width, height, bitrate;
  } cases[] = {
      {1, 1, 400000},         {640, 360, 400000},      {641, 360, 600000},     {854, 480, 600000},
      {1280, 720, 3000000},   {1281, 720, 3000000},    {1366, 768, 3000000},   {1367, 768, 4000000},
      {1400, 900, 4000000},   {1920, 1080, 5000000},   {1920, 1200, 6000000},  {2560, 1440, 6000000},
      {2561, 1440, 15000000}, {3840, 2160, 15000000},  {3841, 2160, 15000000}, {7680, 4320, 15000000},
      {65536, 65536, 15000000},  // wraps to 0 in 32 bits, which would pick the smallest row
  };
  for (const auto& c : cases) {
    EXPECT_EQ(table.GetBitrate(c.width, c.height), c.bitrate) << c.width << "x" << c.height;
  }
}

TEST(BitrateTableTest, PeakIsTwelveTenthsOfEveryRowWithoutRoundingDown) {
  for (uint32_t bitrate : {400000u, 600000u, 3000000u, 4000000u, 5000000u, 6000000u, 15000000u}) {
    EXPECT_EQ(MaxBitrate(bitrate, 1.2), bitrate / 5 * 6) << bitrate;
  }
  EXPECT_EQ(MaxBitrate(1000001, 1.2), 1200001u);  // 1200001.2 truncated
}

TEST(OpenH264ThreadCountTest, ScalesWithAreaAndCores) {
  const struct {
    uint64_t area;
    uint32_t cores, threads;
  } cases[] = {
      {1920ull * 1080, 12, 8}, {1920ull * 1080, 9, 8},  {1920ull * 1080, 8, 3},  {1920ull * 1080, 6, 3},
      {1920ull * 1080, 5, 2},  {1920ull * 1080, 2, 1},  {3840ull * 2160, 16, 8}, {2073599, 16, 3},
      {1228801, 6, 3},         {1228800, 6, 2},         {1280ull * 720, 4, 2},   {1280ull * 720, 3, 2},
      {307201, 3, 2},          {640ull * 480, 3, 1},    {640ull * 480, 64, 1},   {1920ull * 1080, 0, 1},
      {0, 12, 1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(OpenH264ThreadCount(c.area, c.cores), c.threads) << "area " << c.area << ", cores " << c.cores;
  }
}

// The OpenH264 limits: sides of 16 pixels and more, at most 36864 macroblocks, at most 543 macroblocks a side.
TEST(EncoderAcceptsSizeTest, SidesFrameAreaAndOverflowingSizes) {
  const struct {
    int64_t width, height;
    bool accepted;
  } cases[] = {
      {16, 16, true},      {1920, 1080, true},   {4096, 2304, true},   {3840, 2160, true},
      {8688, 64, true},    {64, 8688, true},     {16, 8688, true},     {1, 1, false},
      {2, 2, false},       {4, 4, false},        {14, 1080, false},    {1920, 14, false},
      {4096, 2320, false},  // 256 x 145 = 37120 macroblocks
      {8690, 64, false},   {65536, 2, false},    {65536, 65536, false}, {0, 1080, false},
      {-1920, -1080, false}, {INT64_C(1) << 40, INT64_C(1) << 40, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(EncoderAcceptsSize(c.width, c.height), c.accepted) << c.width << "x" << c.height;
  }
}

}  // namespace
}  // namespace VellRecorder
