#include <gtest/gtest.h>

#include <iterator>

#include "capturedevicelist.h"

namespace VellRecorder {
namespace {

constexpr int64_t k30 = 333'333;
constexpr int64_t k15 = 666'666;

TEST(LargestResolution, ChoosesTheMostPixelsFasterThanFifteenFramesPerSecond) {
  struct Case {
    const char* what;
    std::vector<VideoFormat> formats;
    std::optional<Resolution> expected;
  };
  const Case cases[] = {
      {"4K at 15 fps does not count", {{1920, 1080, k30}, {3840, 2160, k15}}, Resolution{1920, 1080}},
      {"just over 15 fps counts", {{640, 480, k30}, {1280, 720, 625'000}}, Resolution{1280, 720}},
      {"pixels, not width, decide", {{2000, 100, k30}, {1000, 1000, k30}}, Resolution{1000, 1000}},
      {"the first of equal sizes wins", {{1280, 720, k30}, {720, 1280, k30}}, Resolution{1280, 720}},
      {"a top-down format has a positive height", {{640, -480, k30}}, Resolution{640, 480}},
      {"no frame time, no rate", {{1920, 1080, 0}, {640, 480, k30}, {3840, 2160, -1}}, Resolution{640, 480}},
      {"sizes without pixels are skipped", {{0, 1080, k30}, {1920, 0, k30}, {-5, 7, k30}}, std::nullopt},
      {"the largest size cannot overflow", {{INT32_MAX, INT32_MAX, k30}, {640, 480, k30}},
       Resolution{INT32_MAX, INT32_MAX}},
      {"nothing qualifies", {{1920, 1080, k15}}, std::nullopt},
      {"no formats", {}, std::nullopt},
  };
  for (const Case& c : cases) {
    const auto got = LargestResolution(c.formats);
    ASSERT_EQ(got.has_value(), c.expected.has_value()) << c.what;
    if (got) {
      EXPECT_EQ(got->width, c.expected->width) << c.what;
      EXPECT_EQ(got->height, c.expected->height) << c.what;
    }
  }
}

TEST(CaptureDeviceList, AnswersCamerasByExactNameOnly) {
  CaptureDeviceList list;
  list.Add({L"Desk Microphone", kAudioCaptureDevice, {}});
  // One device with both an audio and a video side is listed twice, audio first, under one name.
  list.Add({L"Combo", kAudioCaptureDevice, {}});
  list.Add(MakeCamera(L"Combo", Resolution{1280, 720}));
  list.Add(MakeCamera(L"Front Camera", Resolution{1920, 1080}));
  list.Add(MakeCamera(L"Front Camera", Resolution{640, 480}));
  list.Add(MakeCamera(L"Slow Camera", std::nullopt));
  struct Case {
    const wchar_t* name;
    Resolution expected;
  };
  const Case cases[] = {
      {L"Front Camera", {1920, 1080}}, {L"Combo", {1280, 720}},    {L"Desk Microphone", {0, 0}},
      {L"Slow Camera", {0, 0}},        {L"front camera", {0, 0}},  {L"Front Camera ", {0, 0}},
      {L"", {0, 0}},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(list.GetResolution(cases[i].name), cases[i].expected) << "case " << i;
  }
  EXPECT_TRUE(list.Devices()[5].properties.empty());
}

}  // namespace
}  // namespace VellRecorder
