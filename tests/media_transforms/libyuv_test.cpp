#include <windows.h>

#include <cstdlib>
#include <cstring>

#include <gtest/gtest.h>
#include <libyuv.h>

#include "media_transforms/openh264/i420layout.h"
#include "media_transforms/openh264/libyuvcolorconverter.h"
#include "media_transforms/openh264/libyuvresizer.h"
#include "mftestsupport.h"
#include "testing/logcapture.h"

namespace VellRecorder::Libyuv {
namespace {

struct Bgra {
  uint8_t b, g, r, a;
};
struct Yuv {
  int y, u, v;
};

// White top left, black top right, red bottom left, blue bottom right; memory order B, G, R, A. The expected
// samples are BT.601 limited range, as libyuv computes them.
constexpr Bgra kQuadrants[] = {{255, 255, 255, 255}, {0, 0, 0, 255}, {0, 0, 255, 255}, {255, 0, 0, 255}};
constexpr Yuv kQuadrantsYuv[] = {{235, 128, 128}, {16, 128, 128}, {82, 90, 240}, {41, 240, 110}};

int Quadrant(uint32_t x, uint32_t y, uint32_t width, uint32_t height) {
  return (y < height / 2 ? 0 : 2) + (x < width / 2 ? 0 : 1);
}

std::vector<uint8_t> QuadrantFrame(uint32_t width, uint32_t height) {
  std::vector<uint8_t> bytes(size_t{width} * height * 4);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      std::memcpy(&bytes[(size_t{y} * width + x) * 4], &kQuadrants[Quadrant(x, y, width, height)], 4);
    }
  }
  return bytes;
}

// Probes the middle of each quadrant of an I420 frame laid out with chroma stride width / 2.
void ExpectQuadrants(const std::vector<uint8_t>& frame, uint32_t width, uint32_t height) {
  const size_t luma = size_t{width} * height;
  for (uint32_t y : {height / 4, height * 3 / 4}) {
    for (uint32_t x : {width / 4, width * 3 / 4}) {
      const size_t chroma = size_t{y / 2} * (width / 2) + x / 2;
      const Yuv got{frame[size_t{y} * width + x], frame[luma + chroma], frame[luma + luma / 4 + chroma]};
      const Yuv& want = kQuadrantsYuv[Quadrant(x, y, width, height)];
      EXPECT_TRUE(std::abs(got.y - want.y) <= 2 && std::abs(got.u - want.u) <= 2 && std::abs(got.v - want.v) <= 2)
          << width << "x" << height << " at " << x << "," << y << ": " << got.y << " " << got.u << " " << got.v;
    }
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
    EXPECT_TRUE(log_.Contains("Error converting to NV12")) << log_.Text();
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
  for (const auto& [width, height] :
       {std::pair<uint32_t, uint32_t>{7, 5}, {641, 361}, {6, 5}, {7, 4}, {1, 1}, {64, 32}}) {
    const uint64_t extent = I420AccessExtent(width, height);
    const std::vector<uint8_t> white(size_t{width} * height * 4, 255);
    std::vector<uint8_t> dst(extent + 64, 0xAA);
    uint8_t* y = dst.data();
    const size_t luma = size_t{width} * height;
    const int w = static_cast<int>(width), half = w / 2;
    ASSERT_EQ(libyuv::ARGBToI420(white.data(), w * 4, y, w, y + luma, half, y + luma + luma / 4, half, w,
                                 static_cast<int>(height)),
              0);
    EXPECT_EQ(dst[extent - 1], 128) << width << "x" << height;
    for (size_t i = extent; i < dst.size(); ++i) {
      ASSERT_EQ(dst[i], 0xAA) << width << "x" << height << " byte " << i << " of extent " << extent;
    }
  }
}

// Scaling down and up keeps the picture; a size libyuv refuses is reported, not taken for a scaled frame.
TEST_F(LibyuvTest, ResizerKeepsTheQuadrantsWhenScalingAndReportsLibyuvsRefusal) {
  ComPtr<IMFMediaBuffer> src;
  ASSERT_EQ(ColorConverter(64, 32, 4).Process(Testing::MakeBuffer(QuadrantFrame(64, 32)).Get(), &src), 0);
  const auto source = Testing::ReadBuffer(src.Get());
  const uint8_t* s = source.data();
  for (const auto& [w, h] : {std::pair<uint32_t, uint32_t>{32, 16}, {128, 64}, {48, 20}}) {
    std::vector<uint8_t> out(I420AccessExtent(w, h));
    uint8_t* d = out.data();
    ASSERT_TRUE(Resizer::Process(s, s + 2048, s + 2560, 64, 32, d, d + w * h, d + w * h + w * h / 4,
                                 static_cast<int32_t>(w), static_cast<int32_t>(h)));
    ExpectQuadrants(out, w, h);
  }
  EXPECT_EQ(log_.Text(), "");
  std::vector<uint8_t> out(64);
  uint8_t* d = out.data();
  EXPECT_FALSE(Resizer::Process(s, s + 2048, s + 2560, 64, 32, d, d, d, 0, 16));
  EXPECT_TRUE(log_.Contains("] failed to rescale: -1")) << log_.Text();
}

}  // namespace
}  // namespace VellRecorder::Libyuv
