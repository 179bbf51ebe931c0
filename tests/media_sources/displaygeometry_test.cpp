#include <gtest/gtest.h>

#include "media_sources/video/displaygeometry.h"
#include "media_sources/video/videoframelayout.h"

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
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.crop));
    const CaptureArea area = ComputeCaptureArea(c.display, c.crop, c.requested);
    EXPECT_EQ(area.captureRect, c.capture);
    EXPECT_EQ(area.outputSize, c.output);
  }
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

TEST(VideoFrameLayoutTest, PlaneSizes) {
  const VideoFrameLayout layout(1920, 1080, 4);
  EXPECT_EQ(layout.lumaSize, 2073600u);
  EXPECT_EQ(layout.lumaPlusQuarter, 2592000u);
  EXPECT_EQ(layout.planarSize, 3110400u);

  const VideoFrameLayout odd(3, 3, 4);  // integer division rounds each step down
  EXPECT_EQ(odd.lumaPlusQuarter, 11u);
  EXPECT_EQ(odd.planarSize, 13u);
}

}  // namespace
}  // namespace VellRecorder
