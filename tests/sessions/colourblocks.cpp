#include "sessions/colourblocks.h"

#include <gtest/gtest.h>

#include <wels/codec_api.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "muxers/ts_muxer.h"
#include "muxers/ts_reader.h"

namespace VellRecorder::Testing {
namespace {

void PaintBlocks(HWND window, HDC dc) {
  RECT client;
  GetClientRect(window, &client);
  for (int i = 0; i < 4; ++i) {
    const RECT block{(i % 2) * client.right / 2, (i / 2) * client.bottom / 2, (i % 2 + 1) * client.right / 2,
                     (i / 2 + 1) * client.bottom / 2};
    HBRUSH brush = CreateSolidBrush(RGB(kBlocks[i].r, kBlocks[i].g, kBlocks[i].b));
    FillRect(dc, &block, brush);
    DeleteObject(brush);
  }
}

}  // namespace

Yuv ToYuv(const Rgb& c) {
  return Yuv{16 + (66 * c.r + 129 * c.g + 25 * c.b + 128) / 256, 128 + (-38 * c.r - 74 * c.g + 112 * c.b + 128) / 256,
             128 + (112 * c.r - 94 * c.g - 18 * c.b + 128) / 256};
}

BlocksWindow::BlocksWindow(RECT screen_rect)
    : rect_(screen_rect), window_(L"blocks", screen_rect, WindowStyle::kOnTop, &PaintBlocks) {}

bool BlocksWindow::IsShown() const {
  if (!window_.IsOpen()) return false;
  HDC screen = GetDC(nullptr);
  const COLORREF shown = GetPixel(screen, BlockCentre(0).x, BlockCentre(0).y);
  ReleaseDC(nullptr, screen);
  return shown == RGB(kBlocks[0].r, kBlocks[0].g, kBlocks[0].b);
}

POINT BlocksWindow::BlockCentre(int i) const {
  const LONG w = (rect_.right - rect_.left) / 2, h = (rect_.bottom - rect_.top) / 2;
  return POINT{rect_.left + (i % 2) * w + w / 2, rect_.top + (i / 2) * h + h / 2};
}

Yuv Picture::At(int x, int y) const {
  const int cw = (width + 1) / 2;
  return Yuv{this->y[size_t(y) * width + x], u[size_t(y / 2) * cw + x / 2], v[size_t(y / 2) * cw + x / 2]};
}

Picture DecodeLastPicture(const std::filesystem::path& part) {
  std::vector<std::string> errors;
  const auto pes = ReadPes(part, TsMuxer::kVideoPid, &errors);
  EXPECT_TRUE(errors.empty()) << errors.front();
  ISVCDecoder* decoder = nullptr;
  Picture picture;
  if (WelsCreateDecoder(&decoder) != 0) return picture;
  SDecodingParam param = {};
  param.sVideoProperty.eVideoBsType = VIDEO_BITSTREAM_AVC;
  decoder->Initialize(&param);
  for (const PesPacket& unit : pes) {
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

bool Near(const Yuv& got, const Yuv& want, int tolerance) {
  return std::abs(got.y - want.y) <= tolerance && std::abs(got.u - want.u) <= tolerance &&
         std::abs(got.v - want.v) <= tolerance;
}

}  // namespace VellRecorder::Testing
