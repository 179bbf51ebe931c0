#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

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

// Probes the middle of each quadrant of an I420 frame laid out as i420layout.h says.
void ExpectQuadrants(const std::vector<uint8_t>& frame, uint32_t width, uint32_t height) {
  const I420Planes<const uint8_t> planes = I420PlanesOf(frame.data(), width, height);
  for (uint32_t y : {height / 4, height * 3 / 4}) {
    for (uint32_t x : {width / 4, width * 3 / 4}) {
      const size_t chroma = size_t{y / 2} * planes.chroma_stride + x / 2;
      const Yuv got{planes.y[size_t{y} * width + x], planes.u[chroma], planes.v[chroma]};
      const Yuv& want = kQuadrantsYuv[Quadrant(x, y, width, height)];
      EXPECT_TRUE(std::abs(got.y - want.y) <= 2 && std::abs(got.u - want.u) <= 2 && std::abs(got.v - want.v) <= 2)
          << width << "x" << height << " at " << x << "," << y << ": " << got.y << " " << got.u << " " << got.v;
    }
  }
}

// Samples of a uniformly coloured I420 frame (planes of (w + 1) / 2 by (h + 1) / 2) that are off the colour.
int WrongSamples(const std::vector<uint8_t>& frame, uint32_t width, uint32_t height, const Yuv& want) {
  const size_t luma = size_t{width} * height;
  const size_t chroma = size_t{(width + 1) / 2} * ((height + 1) / 2);
  if (frame.size() != luma + 2 * chroma) return -1;
  int wrong = 0;
  for (size_t i = 0; i < frame.size(); ++i) {
    const int expected = i < luma ? want.y : i < luma + chroma ? want.u : want.v;
    if (std::abs(frame[i] - expected) > 2) ++wrong;  // box scaling rounds down by up to 2
  }
  return wrong;
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

// A uniform colour keeps every sample through conversion and scaling, odd sizes included: with chroma rows
// of width / 2 the last sample of each row is overwritten and U runs into V.
TEST_F(LibyuvTest, UniformRedStaysRedInEveryPlaneAtOddSizes) {
  const Yuv red = kQuadrantsYuv[2];
  for (const auto& [width, height] : {std::pair<uint32_t, uint32_t>{101, 51}, {1365, 767}, {7, 1}, {64, 32}}) {
    SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
    std::vector<uint8_t> bgra(size_t{width} * height * 4);
    for (size_t i = 0; i < bgra.size(); i += 4) std::memcpy(&bgra[i], &kQuadrants[2], 4);
    ComPtr<IMFMediaBuffer> converted;
    ASSERT_EQ(ColorConverter(width, height, 4).Process(Testing::MakeBuffer(bgra).Get(), &converted), 0);
    const auto frame = Testing::ReadBuffer(converted.Get());
    EXPECT_EQ(WrongSamples(frame, width, height, red), 0);

    for (const auto& [w, h] : {std::pair<uint32_t, uint32_t>{64, 32}, {width * 2 + 1, height + 2}}) {
      std::vector<uint8_t> scaled(I420PlanarSize(w, h));
      ASSERT_TRUE(Resizer::ScaleFrame(frame.data(), width, height, scaled.data(), w, h));
      EXPECT_EQ(WrongSamples(scaled, w, h, red), 0) << "scaled to " << w << "x" << h;
    }
  }
}

// Scaling down and up keeps the picture, each plane in its place; a size libyuv refuses is reported, not
// taken for a scaled frame.
TEST_F(LibyuvTest, ResizerKeepsTheQuadrantsWhenScalingAndReportsLibyuvsRefusal) {
  ComPtr<IMFMediaBuffer> src;
  ASSERT_EQ(ColorConverter(64, 32, 4).Process(Testing::MakeBuffer(QuadrantFrame(64, 32)).Get(), &src), 0);
  const auto source = Testing::ReadBuffer(src.Get());
  const uint8_t* s = source.data();
  for (const auto& [w, h] : {std::pair<uint32_t, uint32_t>{32, 16}, {128, 64}, {48, 20}, {97, 45}}) {
    std::vector<uint8_t> out(I420PlanarSize(w, h));
    ASSERT_TRUE(Resizer::ScaleFrame(s, 64, 32, out.data(), w, h));
    ExpectQuadrants(out, w, h);
  }
  EXPECT_EQ(log_.Text(), "");
  std::vector<uint8_t> out(64);
  EXPECT_FALSE(Resizer::ScaleFrame(s, 64, 32, out.data(), 0, 16));
  EXPECT_TRUE(log_.Contains("] failed to rescale: -1")) << log_.Text();
}

}  // namespace
}  // namespace VellRecorder::Libyuv
