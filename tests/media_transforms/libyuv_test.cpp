#include <windows.h>

#include <cstdlib>
#include <cstring>

#include <gtest/gtest.h>

#include "testing/logcapture.h"
#include <libyuv.h>

#include "media_transforms/openh264/i420layout.h"
#include "media_transforms/openh264/libyuvcolorconverter.h"
#include "media_transforms/openh264/libyuvresizer.h"
#include "mftestsupport.h"
#include "utils/log.h"

namespace VellRecorder::Libyuv {
namespace {

struct Bgra {
  uint8_t b, g, r, a;
};
struct Yuv {
  int y, u, v;
};

// BT.601 limited range, as libyuv computes it.
constexpr Bgra kWhite{255, 255, 255, 255}, kBlack{0, 0, 0, 255}, kRed{0, 0, 255, 255}, kBlue{255, 0, 0, 255};
constexpr Yuv kWhiteYuv{235, 128, 128}, kBlackYuv{16, 128, 128}, kRedYuv{82, 90, 240}, kBlueYuv{41, 240, 110};

// Quadrants: white top left, black top right, red bottom left, blue bottom right; memory order B, G, R, A.
std::vector<uint8_t> QuadrantFrame(uint32_t width, uint32_t height) {
  std::vector<uint8_t> bytes(size_t{width} * height * 4);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      const bool right = x >= width / 2;
      const Bgra c = y < height / 2 ? (right ? kBlack : kWhite) : (right ? kBlue : kRed);
      std::memcpy(&bytes[(size_t{y} * width + x) * 4], &c, 4);
    }
  }
  return bytes;
}

// The sample at pixel (x, y) of an I420 frame laid out with chroma stride width / 2.
Yuv At(const std::vector<uint8_t>& frame, uint32_t width, uint32_t height, uint32_t x, uint32_t y) {
  const size_t luma = size_t{width} * height;
  const size_t chroma = size_t{y / 2} * (width / 2) + x / 2;
  return {frame[size_t{y} * width + x], frame[luma + chroma], frame[luma + luma / 4 + chroma]};
}

void ExpectQuadrants(const std::vector<uint8_t>& frame, uint32_t width, uint32_t height) {
  const struct {
    uint32_t x, y;
    Yuv expected;
    const char* name;
  } probes[] = {{width / 4, height / 4, kWhiteYuv, "top left"},
                {width * 3 / 4, height / 4, kBlackYuv, "top right"},
                {width / 4, height * 3 / 4, kRedYuv, "bottom left"},
                {width * 3 / 4, height * 3 / 4, kBlueYuv, "bottom right"}};
  for (const auto& p : probes) {
    const Yuv got = At(frame, width, height, p.x, p.y);
    EXPECT_LE(std::abs(got.y - p.expected.y), 2) << p.name << " Y " << got.y;
    EXPECT_LE(std::abs(got.u - p.expected.u), 2) << p.name << " U " << got.u;
    EXPECT_LE(std::abs(got.v - p.expected.v), 2) << p.name << " V " << got.v;
  }
}

class LibyuvTest : public ::testing::Test {
 protected:
  Testing::LogCapture log_;
};

TEST_F(LibyuvTest, ConvertsBgraQuadrantsToI420PlanesInPlace) {
  ColorConverter converter(VideoFrameLayout(64, 32, 4));
  ComPtr<IMFMediaBuffer> dst = Testing::MakeBuffer({1, 2, 3});  // replaced, not reused
  ASSERT_EQ(converter.Process(Testing::MakeBuffer(QuadrantFrame(64, 32)).Get(), &dst), 0) << log_.Text();
  const auto frame = Testing::ReadBuffer(dst.Get());
  ASSERT_EQ(frame.size(), 64u * 32 * 3 / 2);
  ExpectQuadrants(frame, 64, 32);
  EXPECT_EQ(log_.Text(), "");
}

// Refusals are logged, and the source is unlocked on every path.
TEST_F(LibyuvTest, ZeroSizeShortOrUnlockableSourceIsRefused) {
  ComPtr<IMFMediaBuffer> dst;
  Testing::FakeBuffer src(64 * 32 * 4, 64 * 32 * 4);
  EXPECT_EQ(ColorConverter(64, 32, 4).Process(&src, &dst), 0);
  for (const auto& [width, height] : {std::pair<uint32_t, uint32_t>{0, 32}, {64, 0}, {64, 33}}) {
    log_.Clear();
    EXPECT_EQ(ColorConverter(width, height, 4).Process(&src, &dst), -1) << width << "x" << height;
    EXPECT_NE(log_.Text().find("Error converting to NV12"), std::string::npos) << log_.Text();
  }
  EXPECT_EQ(src.locks, 4);
  EXPECT_EQ(src.unlocks, 4);
  EXPECT_EQ(src.refs(), 1u);

  src.refuse_lock = true;
  EXPECT_EQ(ColorConverter(64, 32, 4).Process(&src, &dst), -1);
  EXPECT_EQ(src.unlocks, 4);
}

// Odd sizes make libyuv reach beyond width * height * 3 / 2; the allocation extent must cover exactly
// what it touches.
TEST_F(LibyuvTest, AccessExtentCoversEveryByteLibyuvWritesForOddSizes) {
  const struct {
    uint32_t width, height;
  } sizes[] = {{7, 5}, {641, 361}, {6, 5}, {7, 4}, {1, 1}, {64, 32}};
  for (const auto& s : sizes) {
    const uint64_t extent = I420AccessExtent(s.width, s.height);
    std::vector<uint8_t> white(size_t{s.width} * s.height * 4, 255);
    std::vector<uint8_t> dst(extent + 64, 0xAA);
    uint8_t* y = dst.data();
    const size_t luma = size_t{s.width} * s.height;
    const int half = static_cast<int>(s.width / 2);
    ASSERT_EQ(libyuv::ARGBToI420(white.data(), static_cast<int>(s.width * 4), y, static_cast<int>(s.width),
                                 y + luma, half, y + luma + luma / 4, half, static_cast<int>(s.width),
                                 static_cast<int>(s.height)),
              0);
    EXPECT_EQ(dst[extent - 1], 128) << s.width << "x" << s.height;
    for (size_t i = extent; i < dst.size(); ++i) {
      ASSERT_EQ(dst[i], 0xAA) << s.width << "x" << s.height << " byte " << i << " of extent " << extent;
    }
  }
}

TEST_F(LibyuvTest, ResizerKeepsTheQuadrantsWhenScalingDownAndUp) {
  ColorConverter converter(64, 32, 4);
  ComPtr<IMFMediaBuffer> src;
  ASSERT_EQ(converter.Process(Testing::MakeBuffer(QuadrantFrame(64, 32)).Get(), &src), 0);
  auto source = Testing::ReadBuffer(src.Get());
  const uint8_t* s = source.data();
  for (const auto& size : {std::pair<uint32_t, uint32_t>{32, 16}, {128, 64}, {48, 20}}) {
    const auto [w, h] = size;
    std::vector<uint8_t> out(I420AccessExtent(w, h));
    uint8_t* d = out.data();
    ASSERT_TRUE(Resizer::Process(s, s + 2048, s + 2560, 64, 32, d, d + w * h, d + w * h + w * h / 4,
                                 static_cast<int32_t>(w), static_cast<int32_t>(h)));
    ExpectQuadrants(out, w, h);
  }
  EXPECT_EQ(log_.Text(), "");
}

TEST_F(LibyuvTest, ResizerReportsLibyuvsRefusal) {
  std::vector<uint8_t> source(64 * 32 * 3 / 2, 16);
  std::vector<uint8_t> out(64);
  const uint8_t* s = source.data();
  uint8_t* d = out.data();
  EXPECT_FALSE(Resizer::Process(s, s + 2048, s + 2560, 64, 32, d, d, d, 0, 16));
  EXPECT_NE(log_.Text().find("] failed to rescale: -1"), std::string::npos) << log_.Text();
}

}  // namespace
}  // namespace VellRecorder::Libyuv
