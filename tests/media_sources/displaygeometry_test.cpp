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
  EXPECT_EQ(RotationDegrees(0), 0);
  EXPECT_EQ(RotationDegrees(1), 90);
  EXPECT_EQ(RotationDegrees(2), 180);
  EXPECT_EQ(RotationDegrees(3), 270);
  EXPECT_EQ(RotationDegrees(7), 0);

  const DisplayRect portrait = TransposeForRotation({0, 0, 1080, 1920}, 90);
  EXPECT_EQ(portrait, kFullHd);
  EXPECT_TRUE(IsPrimaryBounds(portrait));

  const DisplayRect second = TransposeForRotation({1920, 0, 3000, 1920}, 270);
  EXPECT_EQ(second, (DisplayRect{0, 1920, 1920, 3000}));
  EXPECT_FALSE(IsPrimaryBounds(second));

  EXPECT_EQ(TransposeForRotation({1920, 0, 3000, 1920}, 180), (DisplayRect{1920, 0, 3000, 1920}));
  EXPECT_FALSE(IsPrimaryBounds({0, -1080, 1920, 0}));
}

TEST(CaptureAreaTest, NoCropCapturesTheDisplayAtAnEvenOutputSize) {
  CaptureArea area = ComputeCaptureArea(kFullHd, {}, {1279, 719});
  EXPECT_EQ(area.captureRect, kFullHd);
  EXPECT_EQ(area.outputSize, (DisplaySize{1280, 720}));

  area = ComputeCaptureArea({-1280, 0, 0, 1024}, {5, 5, 5, 900}, {1280, 1024});
  EXPECT_EQ(area.captureRect, (DisplayRect{-1280, 0, 0, 1024}));
  EXPECT_EQ(area.outputSize, (DisplaySize{1280, 1024}));
}

TEST(CaptureAreaTest, OddCropGrowsRightAndDownWithinTheDisplay) {
  const CaptureArea area = ComputeCaptureArea(kFullHd, {0, 0, 1001, 500}, {640, 480});
  EXPECT_EQ(area.captureRect, (DisplayRect{0, 0, 1002, 500}));
  EXPECT_EQ(area.outputSize, (DisplaySize{1002, 500}));

  EXPECT_EQ(ComputeCaptureArea(kFullHd, {10, 20, 110, 221}, {}).captureRect, (DisplayRect{10, 20, 110, 222}));
}

TEST(CaptureAreaTest, OddCropAtTheFarEdgesGrowsLeftAndUp) {
  CaptureArea area = ComputeCaptureArea(kFullHd, {919, 0, 1920, 500}, {});
  EXPECT_EQ(area.captureRect, (DisplayRect{918, 0, 1920, 500}));
  EXPECT_EQ(area.outputSize, (DisplaySize{1002, 500}));

  area = ComputeCaptureArea(kFullHd, {0, 79, 100, 1080}, {});
  EXPECT_EQ(area.captureRect, (DisplayRect{0, 78, 100, 1080}));
  // One pixel short of the edge still fits.
  area = ComputeCaptureArea(kFullHd, {0, 0, 1919, 1079}, {});
  EXPECT_EQ(area.captureRect, kFullHd);
}

TEST(CaptureAreaTest, CropIsMovedIntoDesktopCoordinatesOfItsDisplay) {
  // A second display left of and above the primary one; the edge test uses that display's own size.
  const DisplayRect left_display{-1280, -200, 0, 824};
  const CaptureArea area = ComputeCaptureArea(left_display, {279, 100, 1280, 301}, {});
  EXPECT_EQ(area.captureRect, (DisplayRect{-1280 + 278, -200 + 100, 0, -200 + 302}));
  EXPECT_EQ(area.outputSize, (DisplaySize{1002, 202}));
}

TEST(CaptureAreaTest, ReversedCropCountsAsNoCrop) {
  const CaptureArea area = ComputeCaptureArea(kFullHd, {500, 400, 100, 600}, {1280, 720});
  EXPECT_EQ(area.captureRect, kFullHd);
  EXPECT_EQ(area.outputSize, (DisplaySize{1280, 720}));
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
  EXPECT_EQ(layout.width, 1920u);
  EXPECT_EQ(layout.height, 1080u);
  EXPECT_EQ(layout.lumaSize, 2073600u);
  EXPECT_EQ(layout.lumaPlusQuarter, 2592000u);
  EXPECT_EQ(layout.planarSize, 3110400u);
  EXPECT_EQ(layout.bytesPerPixel, 4);

  const VideoFrameLayout odd(3, 3, 4);  // integer division rounds each step down
  EXPECT_EQ(odd.lumaPlusQuarter, 11u);
  EXPECT_EQ(odd.planarSize, 13u);
}

}  // namespace
}  // namespace VellRecorder
