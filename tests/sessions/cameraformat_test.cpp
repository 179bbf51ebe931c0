#include "sessions/cameraformat.h"

#include <gtest/gtest.h>

namespace VellRecorder {
namespace {

constexpr CameraSubtype kMjpg = CameraSubtype::kMjpg;
constexpr CameraSubtype kYuy2 = CameraSubtype::kYuy2;
constexpr CameraSubtype kOther = CameraSubtype::kOther;

TEST(CameraFormatTest, ChoosesTheWidestFittingThenTheFastestOfThatSize) {
  const std::vector<CameraFormat> hd = {
      {kYuy2, 1920, 1080, 30, 1}, {kMjpg, 1920, 1080, 60, 1}, {kYuy2, 1280, 720, 30, 1}};
  const struct {
    const char* name;
    std::vector<CameraFormat> formats;
    uint32_t max_width;
    std::optional<size_t> chosen;
  } cases[] = {
      {"720p when 1280 is the limit", hd, 1280, 2},
      {"1080p60 when 1920 is the limit", hd, 1920, 1},
      {"29.97 counts as 29, below 30", {{kYuy2, 640, 480, 30000, 1001}, {kYuy2, 640, 480, 30, 1}}, 640, 1},
      {"30 is not below 30000/1001", {{kYuy2, 640, 480, 30, 1}, {kYuy2, 640, 480, 30000, 1001}}, 640, 0},
      {"a tie keeps the earlier", {{kMjpg, 640, 480, 30, 1}, {kYuy2, 640, 480, 30, 1}}, 640, 0},
      {"same width, other height passed over", {{kYuy2, 640, 360, 15, 1}, {kYuy2, 640, 480, 60, 1}}, 640, 0},
      {"missing rate and zero denominator", {{kYuy2, 640, 480, 0, 0}, {kYuy2, 640, 480, 30, 0},
                                             {kYuy2, 640, 480, 15, 1}}, 1920, 2},
      {"no rate still chosen by size", {{kYuy2, 320, 240, 30, 1}, {kYuy2, 640, 480, 0, 0}}, 1920, 1},
      {"other subtypes skipped", {{kOther, 1280, 720, 60, 1}, {kYuy2, 640, 480, 30, 1}}, 1280, 1},
      {"nothing fits: the first accepted", {{kOther, 320, 240, 30, 1}, {kMjpg, 1920, 1080, 30, 1}}, 640, 1},
      {"only NV12: refused", {{kOther, 1280, 720, 30, 1}, {kOther, 640, 480, 30, 1}}, 1920, std::nullopt},
      {"no formats", {}, 1920, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ChooseCameraFormat(c.formats, c.max_width), c.chosen);
  }
}

}  // namespace
}  // namespace VellRecorder
