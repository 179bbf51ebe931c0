#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "exception.h"
#include "media_sources/video/displays.h"
#include "media_transforms/videoframelayout.h"
#include "media_sources/video/videorecordingsettings.h"
#include "testing/decodedpicture.h"

namespace VellRecorder {
namespace {

// The test environment's virtual screen: one 1920 x 1080 monitor.
constexpr wchar_t kDevice[] = L"\\\\.\\DISPLAY1";
constexpr wchar_t kDeviceId[] = L"2528732444";  // its SuperFastHash, from a separate implementation

bool SameRect(const RECT& a, const RECT& b) {
  return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

TEST(DisplaysTest, VirtualScreenIsOnePrimaryMonitorWithItsHashedId) {
  Displays displays;
  const DisplayInfo found = displays.FindDisplayById(kDeviceId);
  EXPECT_EQ(found.deviceName, kDevice);
  EXPECT_EQ(found.id, kDeviceId);
  EXPECT_TRUE(SameRect(found.bounds, RECT{0, 0, 1920, 1080}));
  EXPECT_TRUE(found.screenshotPath.empty());

  const std::optional<RECT> primary = displays.FindMonitorBounds(L"");
  ASSERT_TRUE(primary.has_value());
  EXPECT_TRUE(SameRect(*primary, RECT{0, 0, 1920, 1080}));
  ASSERT_TRUE(displays.FindMonitorBounds(kDevice).has_value());
  EXPECT_FALSE(displays.FindMonitorBounds(L"\\\\.\\display1").has_value());  // names match exactly
  EXPECT_EQ(GetRotation(kDevice), 0);
}

// Width and height of a PNG file; zeros when it is none.
std::pair<UINT, UINT> PngSize(const std::wstring& path) {
  const Testing::DecodedPicture picture(path);
  if (!picture.IsPng()) return {0, 0};
  return {picture.Width(), picture.Height()};
}

// Xvfb cannot turn its screen, so the list is given a portrait primary monitor and, right of it, one turned
// the other way. GDI works on the desktop as laid out (turned); only desktop duplication's textures are
// unturned.
TEST(DisplaysTest, TurnedMonitorsAreCapturedFromTheirDesktopRectangles) {
  const HMONITOR real = MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY);
  const wchar_t second[] = L"\\\\.\\DISPLAY2";
  Displays displays([real, &second] {
    return std::vector<MonitorDescription>{{real, RECT{0, 0, 1080, 1920}, kDevice, 90},
                                           {real, RECT{1080, 0, 2160, 1920}, second, 270}};
  });
  const std::vector<DisplayInfo> list = displays.GetDisplays();
  ASSERT_EQ(list.size(), 2u);
  EXPECT_TRUE(SameRect(list[0].bounds, RECT{0, 0, 1920, 1080}));
  EXPECT_TRUE(SameRect(list[1].bounds, RECT{0, 1080, 1920, 2160}));
  for (const DisplayInfo& display : list) {
    EXPECT_EQ(PngSize(display.screenshotPath), (std::pair<UINT, UINT>{1080, 1920}))
        << "screenshot of " << display.screenshotPath;
  }
  EXPECT_TRUE(SameRect(list[1].desktopBounds, RECT{1080, 0, 2160, 1920}));
  const std::optional<RECT> primary = displays.FindMonitorBounds(L"");
  ASSERT_TRUE(primary.has_value());
  EXPECT_TRUE(SameRect(*primary, RECT{0, 0, 1080, 1920}));

  const VideoRecordingSettings whole(displays, second, RECT{}, SIZE{1080, 1920});
  EXPECT_TRUE(SameRect(whole.CaptureRect(), RECT{1080, 0, 2160, 1920}));
  const VideoRecordingSettings crop(displays, second, RECT{100, 1500, 300, 1900}, SIZE{});
  EXPECT_TRUE(SameRect(crop.CaptureRect(), RECT{1180, 1500, 1380, 1900}));
}

TEST(DisplaysTest, UnknownIdGivesAnEmptyEntry) {
  Displays displays;
  const DisplayInfo none = displays.FindDisplayById(L"12345");
  EXPECT_TRUE(none.id.empty());
  EXPECT_TRUE(none.deviceName.empty());
  EXPECT_TRUE(SameRect(none.bounds, RECT{}));
  // The empty name that results selects the primary display.
  const VideoRecordingSettings settings(none.deviceName, RECT{}, SIZE{1920, 1080});
  EXPECT_TRUE(SameRect(settings.CaptureRect(), RECT{0, 0, 1920, 1080}));
}

TEST(VideoRecordingSettingsTest, WholeDisplayAndCrops) {
  const VideoRecordingSettings whole(L"", RECT{}, SIZE{1279, 719});
  EXPECT_TRUE(SameRect(whole.CaptureRect(), RECT{0, 0, 1920, 1080}));
  EXPECT_EQ(whole.OutputSize().cx, 1280);
  EXPECT_EQ(whole.OutputSize().cy, 720);

  const VideoRecordingSettings right_edge(kDevice, RECT{919, 0, 1920, 500}, SIZE{640, 480});
  EXPECT_TRUE(SameRect(right_edge.CaptureRect(), RECT{918, 0, 1920, 500}));
  EXPECT_EQ(right_edge.OutputSize().cx, 1002);

  const VideoFrameLayout layout = right_edge.CaptureLayout(4);
  EXPECT_EQ(layout.planarSize, 1002u * 500u * 3 / 2);
}

TEST(VideoRecordingSettingsTest, UnknownDisplayThrowsWithItsName) {
  try {
    VideoRecordingSettings settings(L"\\\\.\\DISPLAY9", RECT{}, SIZE{1280, 720});
    FAIL() << "no exception";
  } catch (const Exception& e) {
    const std::string text = e.what();
    EXPECT_NE(text.find("display not found: \\\\.\\DISPLAY9"), std::string::npos) << text;
    EXPECT_NE(text.find("media_sources/video/videorecordingsettings"), std::string::npos) << text;
  }
}

}  // namespace
}  // namespace VellRecorder
