// A PNG (or any picture GDI+ reads) decoded for checks: whether it is a PNG, its size and the colour of pixels on
// request. The one picture reader of the tests.
#pragma once

#include <windows.h>
// gdiplus.h needs the COM object declarations that WIN32_LEAN_AND_MEAN leaves out of windows.h.
#include <objidl.h>
#include <gdiplus.h>

#include <cstdint>
#include <string>

namespace VellRecorder::Testing {

class DecodedPicture {
 public:
  explicit DecodedPicture(const std::wstring& path) {
    Gdiplus::GdiplusStartupInput input;
    Gdiplus::GdiplusStartup(&token_, &input, nullptr);
    Gdiplus::DllExports::GdipCreateBitmapFromFile(path.c_str(), &bitmap_);
    if (bitmap_ != nullptr) {
      Gdiplus::DllExports::GdipGetImageWidth(bitmap_, &width_);
      Gdiplus::DllExports::GdipGetImageHeight(bitmap_, &height_);
    }
  }
  ~DecodedPicture() {
    if (bitmap_ != nullptr) Gdiplus::DllExports::GdipDisposeImage(bitmap_);
    Gdiplus::GdiplusShutdown(token_);
  }
  DecodedPicture(const DecodedPicture&) = delete;
  DecodedPicture& operator=(const DecodedPicture&) = delete;

  bool Decoded() const { return bitmap_ != nullptr; }
  // GDI+ found a PNG in the file (it tells formats by their signatures), not another format it reads as well.
  bool IsPng() const {
    GUID format = GUID_NULL;
    return bitmap_ != nullptr && Gdiplus::DllExports::GdipGetImageRawFormat(bitmap_, &format) == Gdiplus::Ok &&
           format == Gdiplus::ImageFormatPNG;
  }
  UINT Width() const { return width_; }
  UINT Height() const { return height_; }
  // 0x00RRGGBB.
  uint32_t RgbAt(int x, int y) const {
    Gdiplus::ARGB argb = 0;
    Gdiplus::DllExports::GdipBitmapGetPixel(bitmap_, x, y, &argb);
    return argb & 0xFFFFFF;
  }

 private:
  ULONG_PTR token_ = 0;
  Gdiplus::GpBitmap* bitmap_ = nullptr;
  UINT width_ = 0;
  UINT height_ = 0;
};

}  // namespace VellRecorder::Testing
