#include <gtest/gtest.h>

#include <utility>

#include <climits>
#include <optional>

#include "media_sources/video/displaygeometry.h"
#include "media_transforms/videoframelayout.h"

namespace VellRecorder {

// Readable failure messages; found by gtest through the types' namespace.
inline void PrintTo(const DisplayRect& r, std::ostream* os) {
  *os << "{" << r.left << ", " << r.top << ", " << r.right << ", " << r.bottom << "}";
}
inline void PrintTo(const DisplaySize& s, std::ostream* os) { *os << s.width << "x" << s.height; }

namespace {

const DisplayRect kFullHd{0, 0, 1920, 1080};

TEST(RotationTest, OrientationCodesAndTransposition) {
  const int degrees[] = {0, 90, 180, 270, 0, 0, 0, 0};  // unknown codes read as 0
  for (uint32_t code = 0; code < 8; ++code) EXPECT_EQ(RotationDegrees(code), degrees[code]) << code;

  const DisplayRect portrait = TransposeForRotation({0, 0, 1080, 1920}, 90);
  EXPECT_EQ(portrait, kFullHd);
  EXPECT_TRUE(IsPrimaryBounds(portrait));

  const DisplayRect second = TransposeForRotation({1920, 0, 3000, 1920}, 270);
  EXPECT_EQ(second, (DisplayRect{0, 1920, 1920, 3000}));
  EXPECT_FALSE(IsPrimaryBounds(second));

  EXPECT_EQ(TransposeForRotation({1920, 0, 3000, 1920}, 180), (DisplayRect{1920, 0, 3000, 1920}));
  EXPECT_FALSE(IsPrimaryBounds({0, -1080, 1920, 0}));
}

// A portrait monitor right of the primary one, its duplicated image 1920 x 1080 (unrotated): a crop 100..300
// from its left and 200..600 from its top lands where each turn puts it, and the whole monitor fills the image.
TEST(RotationTest, CaptureRectanglesOfTurnedOutputsInTheirDuplicatedImage) {
  const DisplayRect portrait{1920, 0, 3000, 1920};
  const DisplayRect crop{1920 + 100, 200, 1920 + 300, 600};
  const struct {
    int rotation;
    DisplayRect whole, cropped;
    DisplayPoint top_left;  // where the monitor's top-left pixel lies in the image
  } cases[] = {
      {0, {0, 0, 1080, 1920}, {100, 200, 300, 600}, {0, 0}},
      {90, {0, 0, 1920, 1080}, {200, 780, 600, 980}, {0, 1079}},
      {180, {0, 0, 1080, 1920}, {780, 1320, 980, 1720}, {1079, 1919}},
      {270, {0, 0, 1920, 1080}, {1320, 100, 1720, 300}, {1919, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rotation);
    EXPECT_EQ(DuplicatedImageRect(portrait, portrait, c.rotation), c.whole);
    EXPECT_EQ(DuplicatedImageRect(portrait, crop, c.rotation), c.cropped);
    EXPECT_EQ(UnrotatedSize({1080, 1920}, c.rotation), (DisplaySize{c.whole.Width(), c.whole.Height()}));
    const DisplayPoint corner = ToUnrotatedPixel({0, 0}, {1080, 1920}, c.rotation);
    EXPECT_TRUE(corner.x == c.top_left.x && corner.y == c.top_left.y) << corner.x << "," << corner.y;
  }
  // What lies off the monitor has no pixels in its image.
  EXPECT_EQ(DuplicatedImageRect(portrait, {2900, 1800, 3100, 2000}, 90), (DisplayRect{1800, 0, 1920, 100}));
  EXPECT_EQ(DuplicatedImageRect(portrait, kFullHd, 90).Width(), 0);
  EXPECT_EQ(UnrotatedSize({1080, 1920}, 45), (DisplaySize{1080, 1920}));
}

TEST(CaptureAreaTest, CropsAreMadeEvenWithinTheirDisplay) {
  struct Case {
    DisplayRect display, crop;
    DisplaySize requested;
    DisplayRect capture;
    DisplaySize output;
  };
  const Case cases[] = {
      // No crop: the whole display at the requested size made even.
      {kFullHd, {}, {1279, 719}, kFullHd, {1280, 720}},
      {{-1280, 0, 0, 1024}, {5, 5, 5, 900}, {1280, 1024}, {-1280, 0, 0, 1024}, {1280, 1024}},
      {kFullHd, {500, 400, 100, 600}, {1280, 720}, kFullHd, {1280, 720}},  // reversed counts as none
      // An odd crop grows right and down, and becomes the output size.
      {kFullHd, {0, 0, 1001, 500}, {640, 480}, {0, 0, 1002, 500}, {1002, 500}},
      {kFullHd, {10, 20, 110, 221}, {}, {10, 20, 110, 222}, {100, 202}},
      // ... or left and up where that would leave the display; one pixel short of the edge still fits.
      {kFullHd, {919, 0, 1920, 500}, {}, {918, 0, 1920, 500}, {1002, 500}},
      {kFullHd, {0, 79, 100, 1080}, {}, {0, 78, 100, 1080}, {100, 1002}},
      {kFullHd, {0, 0, 1919, 1079}, {}, kFullHd, {1920, 1080}},
      // A display left of and above the primary one: the crop moves into desktop coordinates, and the edge
      // test uses that display's own size.
      {{-1280, -200, 0, 824}, {279, 100, 1280, 301}, {}, {-1280 + 278, -200 + 100, 0, -200 + 302}, {1002, 202}},
      // A crop past the display's edge keeps only what lies on the display.
      {kFullHd, {0, 0, 1921, 1081}, {}, kFullHd, {1920, 1080}},
      {kFullHd, {1200, 600, 2000, 1200}, {}, {1200, 600, 1920, 1080}, {720, 480}},
      {kFullHd, {-10, -20, 91, 80}, {}, {0, 0, 92, 80}, {92, 80}},
      {{-1280, 0, 0, 1024}, {1000, 1000, 1400, 1100}, {}, {-280, 1000, 0, 1024}, {280, 24}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.crop));
    const std::optional<CaptureArea> area = ComputeCaptureArea(c.display, c.crop, c.requested);
    ASSERT_TRUE(area.has_value());
    EXPECT_EQ(area->captureRect, c.capture);
    EXPECT_EQ(area->outputSize, c.output);
  }
  // Nothing of these lies on the display.
  for (const DisplayRect& crop : {DisplayRect{1920, 0, 2000, 100}, DisplayRect{0, 1080, 10, 1090},
                                  DisplayRect{-100, -100, -1, -1}, DisplayRect{-50, 10, 0, 20}}) {
    EXPECT_FALSE(ComputeCaptureArea(kFullHd, crop, {}).has_value()) << ::testing::PrintToString(crop);
  }
}

// The host's crop in points becomes pixels on the display: scaled in 64 bits, cut at the display's edges.
TEST(CropToPixelsTest, ScalesClampsAndRefusesWhatMissesTheDisplay) {
  constexpr int32_t kMax = INT32_MAX;
  const struct {
    int32_t x, y, width, height;
    float scale;
    std::optional<DisplayRect> pixels;
  } cases[] = {
      {10, 20, 300, 200, 1.5f, DisplayRect{15, 30, 465, 330}},
      {0, 0, 1921, 1081, 1.0f, kFullHd},
      {1200, 600, 800, 600, 1.0f, DisplayRect{1200, 600, 1920, 1080}},
      {-100, 50, 200, 10, 1.0f, DisplayRect{0, 50, 100, 60}},
      {0, 0, kMax, kMax, 2.0f, kFullHd},
      {1279, 0, 1, 1, 1.5f, DisplayRect{1918, 0, 1919, 1}},
      {1280, 0, 10, 10, 1.5f, std::nullopt},  // starts at pixel 1920: off the display
      {kMax - 5, 0, 10, 10, 1.0f, std::nullopt},
      {2000000000, 2000000000, 1000, 1000, 1.5f, std::nullopt},
      {INT32_MIN, INT32_MIN, kMax, kMax, 1.5f, std::nullopt},
      {0, 0, 0, 100, 1.0f, std::nullopt},
      {500, 500, -100, 100, 1.0f, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.x << "," << c.y << " " << c.width << "x" << c.height << " at " << c.scale);
    EXPECT_EQ(CropToPixels(c.x, c.y, c.width, c.height, c.scale, DisplaySize{1920, 1080}), c.pixels);
  }
}

// Sizes a screen source cannot copy or the encoders cannot take are refused with the size in the reason.
TEST(CaptureAreaRefusalTest, CaptureAndOutputLimits) {
  EXPECT_EQ(CaptureAreaRefusal({kFullHd, {1920, 1080}}), "");
  EXPECT_EQ(CaptureAreaRefusal({{0, 0, 7680, 4320}, {1280, 720}}), "");
  EXPECT_EQ(CaptureAreaRefusal({{0, 0, 2, 2}, {1280, 720}}), "");  // tiny source, scaled up
  EXPECT_EQ(CaptureAreaRefusal({{10, 10, 12, 12}, {2, 2}}), "output size 2x2 is not one the H.264 encoders take");
  EXPECT_EQ(CaptureAreaRefusal({kFullHd, {65536, 2}}), "output size 65536x2 is not one the H.264 encoders take");
  EXPECT_EQ(CaptureAreaRefusal({kFullHd, {0, 0}}), "output size 0x0 is not one the H.264 encoders take");
  EXPECT_EQ(CaptureAreaRefusal({{0, 0, 16386, 100}, {1280, 720}}),
            "capture size 16386x100 outside 1x1 to 16384x16384");
  EXPECT_EQ(CaptureAreaRefusal({{0, 0, 0, 100}, {1280, 720}}), "capture size 0x100 outside 1x1 to 16384x16384");
  // The largest odd value cannot be made even, and is refused like every other size beyond the limits.
  EXPECT_EQ(EvenSize({INT32_MAX, 3}), (DisplaySize{INT32_MAX, 4}));
}

TEST(LogicalRectTest, ContainmentAndScaling) {
  EXPECT_TRUE(ContainsRect(kFullHd, kFullHd));
  EXPECT_TRUE(ContainsRect(kFullHd, {100, 100, 200, 200}));
  EXPECT_FALSE(ContainsRect(kFullHd, {1800, 100, 2000, 200}));  // straddles into the next display
  EXPECT_FALSE(ContainsRect(kFullHd, {-1, 0, 10, 10}));
  EXPECT_FALSE(ContainsRect(kFullHd, {0, 0, 10, 1081}));

  EXPECT_EQ(ScaleToLogical({150, 301, 1501, 899}, 1.5f), (DisplayRect{100, 200, 1000, 599}));
  // Truncation is toward zero on the negative side too.
  EXPECT_EQ(ScaleToLogical({-301, -150, -1, 0}, 1.5f), (DisplayRect{-200, -100, 0, 0}));
  EXPECT_EQ(ScaleToLogical({3, 5, 7, 9}, 1.0f), (DisplayRect{3, 5, 7, 9}));
}

TEST(CursorPlacementTest, DrawnOnlyWhenTheImageCornerLiesInsideBothEdgesIncluded) {
  const DisplayRect capture{100, 50, 740, 530};  // 640 x 480
  CursorPlacement p = PlaceCursor(110, 60, 0, 0, capture);
  EXPECT_TRUE(p.draw);
  EXPECT_EQ(p.x, 10);
  EXPECT_EQ(p.y, 10);

  p = PlaceCursor(120, 70, 5, 8, capture);  // the hotspot moves the image up and left
  EXPECT_EQ(p.x, 15);
  EXPECT_EQ(p.y, 12);

  EXPECT_TRUE(PlaceCursor(740, 530, 0, 0, capture).draw);  // exactly at the far edges
  EXPECT_FALSE(PlaceCursor(741, 300, 0, 0, capture).draw);
  EXPECT_FALSE(PlaceCursor(300, 531, 0, 0, capture).draw);
  EXPECT_FALSE(PlaceCursor(100, 50, 1, 0, capture).draw);  // the hotspot pushes the corner outside
}

// No band passes the limit unless one row alone does, and no fewer bands would do.
TEST(DisplayGeometryTest, CaptureBandsStayWithinTheLimit) {
  constexpr int64_t kLimit = int64_t{16} << 20;
  const std::pair<int32_t, int32_t> sizes[] = {{3840, 2160}, {2560, 1440}, {7680, 4320}, {5000, 3}, {1 << 23, 5}};
  for (const auto& [width, height] : sizes) {
    const int64_t row_bytes = int64_t{width} * 4;
    const int32_t rows = CaptureBandRows(height, row_bytes, kLimit);
    const int64_t bands = (height + rows - 1) / rows;
    EXPECT_TRUE(rows * row_bytes <= kLimit || rows == 1) << width << "x" << height;
    // One band fewer would pass the limit; the bands are as even as whole rows allow.
    if (bands > 1) {
      EXPECT_GT((height + bands - 2) / (bands - 1) * row_bytes, kLimit) << width << "x" << height;
    }
    EXPECT_EQ(rows, (height + bands - 1) / bands) << width << "x" << height;
  }
  EXPECT_EQ(CaptureBandRows(2160, 3840 * 4, kLimit), 1080);  // a 4K screen in two halves
  EXPECT_EQ(CaptureBandRows(0, 3840 * 4, kLimit), 0);
}

TEST(VideoFrameLayoutTest, PlaneSizes) {
  const VideoFrameLayout layout(1920, 1080, 4);
  EXPECT_EQ(layout.lumaSize, 2073600u);
  EXPECT_EQ(layout.chromaStride, 960u);
  EXPECT_EQ(layout.vOffset, 2592000u);
  EXPECT_EQ(layout.planarSize, 3110400u);

  // Odd sizes round the chroma planes up: 101 x 51 has chroma planes of 51 x 26.
  const VideoFrameLayout odd(101, 51, 4);
  EXPECT_EQ(odd.chromaStride, 51u);
  EXPECT_EQ(odd.vOffset, 5151u + 51u * 26u);
  EXPECT_EQ(odd.planarSize, 5151u + 2u * 51u * 26u);
}

}  // namespace
}  // namespace VellRecorder
