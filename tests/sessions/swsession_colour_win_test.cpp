// The picture of a scaled recording: four solid colour blocks shown on the virtual screen are recorded by the
// software session at a smaller and at a larger output size, and the decoded parts must show each block in
// its colour at its scaled place. A stage that mixes up the chroma planes (U for V, a wrong stride) turns
// red into blue or smears the colours.
#include <windows.h>

#include <gtest/gtest.h>

#include <wels/codec_api.h>

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
#include "muxers/ts_muxer.h"
#include "muxers/ts_reader.h"
#include "sessions/swscreenrecordingsession.h"
#include "testing/watchdog.h"
#include "utils/clock.h"

namespace VellRecorder {
namespace {

namespace fs = std::filesystem;

struct Rgb {
  int r, g, b;
};
struct Yuv {
  int y, u, v;
};

// Red, green / blue, yellow: every pair differs in both chroma samples, and red and blue trade U for V.
constexpr Rgb kBlocks[] = {{220, 20, 20}, {20, 200, 40}, {30, 40, 220}, {230, 220, 30}};
constexpr RECT kWindow = {160, 120, 1120, 840};  // four 480 x 360 blocks on the 1920 x 1080 screen

// BT.601 limited range, as the converter computes it.
Yuv ToYuv(const Rgb& c) {
  return Yuv{16 + (66 * c.r + 129 * c.g + 25 * c.b + 128) / 256, 128 + (-38 * c.r - 74 * c.g + 112 * c.b + 128) / 256,
             128 + (112 * c.r - 94 * c.g - 18 * c.b + 128) / 256};
}

LRESULT CALLBACK BlocksProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message != WM_PAINT) return DefWindowProcW(window, message, wparam, lparam);
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(window, &paint);
  RECT client;
  GetClientRect(window, &client);
  for (int i = 0; i < 4; ++i) {
    const RECT block{(i % 2) * client.right / 2, (i / 2) * client.bottom / 2, (i % 2 + 1) * client.right / 2,
                     (i / 2 + 1) * client.bottom / 2};
    HBRUSH brush = CreateSolidBrush(RGB(kBlocks[i].r, kBlocks[i].g, kBlocks[i].b));
    FillRect(dc, &block, brush);
    DeleteObject(brush);
  }
  EndPaint(window, &paint);
  return 0;
}

void Pump(DWORD milliseconds) {
  const ULONGLONG end = GetTickCount64() + milliseconds;
  do {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    Sleep(10);
  } while (GetTickCount64() < end);
}

class BlocksWindow {
 public:
  BlocksWindow() {
    WNDCLASSW window_class = {};
    window_class.lpfnWndProc = &BlocksProc;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.lpszClassName = L"VellColourBlocks";
    RegisterClassW(&window_class);
    window_ = CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, window_class.lpszClassName, L"blocks",
                              WS_POPUP | WS_VISIBLE, kWindow.left, kWindow.top, kWindow.right - kWindow.left,
                              kWindow.bottom - kWindow.top, nullptr, nullptr, window_class.hInstance, nullptr);
    if (window_ != nullptr) UpdateWindow(window_);
    Pump(300);
  }
  ~BlocksWindow() {
    if (window_ != nullptr) DestroyWindow(window_);
  }
  bool IsOpen() const { return window_ != nullptr; }

 private:
  HWND window_ = nullptr;
};

// The centre of block i in screen coordinates.
POINT BlockCentre(int i) {
  const LONG w = (kWindow.right - kWindow.left) / 2, h = (kWindow.bottom - kWindow.top) / 2;
  return POINT{kWindow.left + (i % 2) * w + w / 2, kWindow.top + (i / 2) * h + h / 2};
}

struct Picture {
  int width = 0, height = 0;
  std::vector<uint8_t> y, u, v;  // tightly packed, chroma (width + 1) / 2 by (height + 1) / 2
};

// The last picture of the video stream of a part file, decoded with OpenH264.
Picture DecodeLastPicture(const fs::path& part) {
  std::vector<std::string> errors;
  const auto pes = Testing::ReadPes(part, TsMuxer::kVideoPid, &errors);
  EXPECT_TRUE(errors.empty()) << errors.front();
  ISVCDecoder* decoder = nullptr;
  Picture picture;
  if (WelsCreateDecoder(&decoder) != 0) return picture;
  SDecodingParam param = {};
  param.sVideoProperty.eVideoBsType = VIDEO_BITSTREAM_AVC;
  decoder->Initialize(&param);
  for (const Testing::PesPacket& unit : pes) {
    unsigned char* planes[3] = {};
    SBufferInfo info = {};
    decoder->DecodeFrameNoDelay(unit.data.data(), static_cast<int>(unit.data.size()), planes, &info);
    if (info.iBufferStatus != 1) continue;
    const SSysMEMBuffer& layout = info.UsrData.sSystemBuffer;
    picture.width = layout.iWidth;
    picture.height = layout.iHeight;
    const int cw = (layout.iWidth + 1) / 2, ch = (layout.iHeight + 1) / 2;
    picture.y.resize(size_t(layout.iWidth) * layout.iHeight);
    picture.u.resize(size_t(cw) * ch);
    picture.v.resize(size_t(cw) * ch);
    for (int row = 0; row < layout.iHeight; ++row) {
      std::copy_n(planes[0] + size_t(row) * layout.iStride[0], layout.iWidth, &picture.y[size_t(row) * layout.iWidth]);
    }
    for (int row = 0; row < ch; ++row) {
      std::copy_n(planes[1] + size_t(row) * layout.iStride[1], cw, &picture.u[size_t(row) * cw]);
      std::copy_n(planes[2] + size_t(row) * layout.iStride[1], cw, &picture.v[size_t(row) * cw]);
    }
  }
  decoder->Uninitialize();
  WelsDestroyDecoder(decoder);
  return picture;
}

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
  BlocksWindow window;
  ASSERT_TRUE(window.IsOpen());
  HDC screen = GetDC(nullptr);
  const COLORREF shown = GetPixel(screen, BlockCentre(0).x, BlockCentre(0).y);
  ReleaseDC(nullptr, screen);
  ASSERT_EQ(shown, RGB(kBlocks[0].r, kBlocks[0].g, kBlocks[0].b)) << "the blocks are not on the screen";

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
    while (sink.VideoFrameCount() < 4 && GetTickCount64() < deadline) Pump(50);
    Testing::WithinOrDie(std::chrono::seconds(20), "SWScreenRecordingSession::Stop", [&] { session.Stop(); });
    sink.Finish();
    ASSERT_GE(sink.VideoFrameCount(), 4u) << "too few frames recorded within 30 s";
  }

  const Picture picture = DecodeLastPicture(folder / "part-0.ts");
  ASSERT_EQ(picture.width, output.cx);
  ASSERT_EQ(picture.height, output.cy);
  const int cw = (picture.width + 1) / 2;
  for (int i = 0; i < 4; ++i) {
    const POINT at = BlockCentre(i);
    const int x = static_cast<int>(at.x * output.cx / 1920), y = static_cast<int>(at.y * output.cy / 1080);
    const Yuv got{picture.y[size_t(y) * picture.width + x], picture.u[size_t(y / 2) * cw + x / 2],
                  picture.v[size_t(y / 2) * cw + x / 2]};
    const Yuv want = ToYuv(kBlocks[i]);
    EXPECT_TRUE(std::abs(got.y - want.y) <= 8 && std::abs(got.u - want.u) <= 8 && std::abs(got.v - want.v) <= 8)
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
