// The picture of a scaled recording: four solid colour blocks shown on the virtual screen are recorded by the
// software session at a smaller and at a larger output size, and the decoded parts must show each block in
// its colour at its scaled place. A stage that mixes up the chroma planes (U for V, a wrong stride) turns
// red into blue or smears the colours.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "media_transforms/mftestsupport.h"
#include "muxers/hlssink.h"
#include "sessions/colourblocks.h"
#include "sessions/swscreenrecordingsession.h"
#include "testing/watchdog.h"
#include "utils/clock.h"

namespace VellRecorder {
namespace {

namespace fs = std::filesystem;

using Testing::BlocksWindow;
using Testing::kBlocks;
using Testing::Picture;
using Testing::Yuv;

constexpr RECT kWindow = {160, 120, 1120, 840};  // four 480 x 360 blocks on the 1920 x 1080 screen

fs::path FreshFolder(const std::string& name) {
  const fs::path folder = fs::temp_directory_path() / ("vell-colour-" + name);
  fs::remove_all(folder);
  fs::create_directories(folder);
  return folder;
}

class SWSessionColourTest : public ::testing::TestWithParam<SIZE> {};

TEST_P(SWSessionColourTest, ScaledRecordingShowsEachBlockInItsColourAndPlace) {
  const SIZE output = GetParam();
  SetCursorPos(1900, 1070);  // away from the blocks
  BlocksWindow window(kWindow);
  ASSERT_TRUE(window.IsShown()) << "the blocks are not on the screen";

  const fs::path folder = FreshFolder(std::to_string(output.cx) + "x" + std::to_string(output.cy));
  {
    const VideoRecordingSettings settings(L"", RECT{}, output);
    ASSERT_EQ(settings.CaptureWidth(), 1920);
    HLSSink sink(folder.wstring(), [](std::wstring) {});
    SWScreenRecordingSession session(settings, &sink);
    ASSERT_HRESULT_SUCCEEDED(session.Initialize());
    session.Start(MonotonicNowNs());
    // A few frames through every stage; the window is kept painted meanwhile.
    const ULONGLONG deadline = GetTickCount64() + 30000;
    while (sink.VideoFrameCount() < 4 && GetTickCount64() < deadline) Testing::PumpMessages(50);
    Testing::WithinOrDie(std::chrono::seconds(20), "SWScreenRecordingSession::Stop", [&] { session.Stop(); });
    sink.Finish();
    ASSERT_GE(sink.VideoFrameCount(), 4u) << "too few frames recorded within 30 s";
  }

  const Picture picture = Testing::DecodeLastPicture(folder / "part-0.ts");
  ASSERT_EQ(picture.width, output.cx);
  ASSERT_EQ(picture.height, output.cy);
  for (int i = 0; i < 4; ++i) {
    const POINT at = window.BlockCentre(i);
    const int x = static_cast<int>(at.x * output.cx / 1920), y = static_cast<int>(at.y * output.cy / 1080);
    const Yuv got = picture.At(x, y);
    const Yuv want = Testing::ToYuv(kBlocks[i]);
    EXPECT_TRUE(Testing::Near(got, want, 8))
        << "block " << i << " at " << x << "," << y << " of " << output.cx << "x" << output.cy << ": Y/U/V "
        << got.y << "/" << got.u << "/" << got.v << ", expected " << want.y << "/" << want.u << "/" << want.v;
  }
  fs::remove_all(folder);
}

INSTANTIATE_TEST_SUITE_P(DownAndUp, SWSessionColourTest, ::testing::Values(SIZE{960, 540}, SIZE{2560, 1440}),
                         [](const ::testing::TestParamInfo<SIZE>& size) {
                           return std::to_string(size.param.cx) + "x" + std::to_string(size.param.cy);
                         });

}  // namespace
}  // namespace VellRecorder
