#include "media_sources/video/gdisource.h"

#include <algorithm>
#include <utility>

#include "media_sources/video/cursorcopy.h"
#include "media_sources/video/displaygeometry.h"
#include "media_sources/video/rectconv.h"
#include "media_sources/video/topdownbitmap.h"
#include "tracehr.h"

namespace VellRecorder {
namespace {

// Under Wine each copy from the screen reads the X server's image into memory that the C library allocates for
// that copy alone. The image of a 4K screen (33 MB) does not fit the capture thread's heap: the C library makes a
// heap for it and unmakes it again on every frame, and all its pages are faulted in anew (some 9,000 faults per
// frame). Bands of at most 16 MB keep reusing the same memory; a screen up to 2560x1440 is one band. The bands are
// copies of their own, one after the other: a picture that changes in between shows in them from two moments.
constexpr int64_t kMaxBandBytes = int64_t{16} << 20;

}  // namespace

GDISource::GdiResources::GdiResources(int width, int height) : screen_dc(GetDC(window)) {
  memory_dc = CreateCompatibleDC(screen_dc);
  bitmap = CreateCompatibleBitmap(screen_dc, width, height);
  if (memory_dc != nullptr && bitmap != nullptr) replaced = SelectObject(memory_dc, bitmap);
}

GDISource::GdiResources::~GdiResources() {
  if (replaced != nullptr && replaced != HGDI_ERROR) SelectObject(memory_dc, replaced);
  if (bitmap != nullptr) DeleteObject(bitmap);
  if (memory_dc != nullptr) DeleteDC(memory_dc);
  if (screen_dc != nullptr) ReleaseDC(window, screen_dc);
}

GDISource::GDISource(VideoRecordingSettings settings) : VideoSource(std::move(settings)) {
  const LONG width = settings_.CaptureWidth();
  const LONG height = settings_.CaptureHeight();
  gdi_ = std::make_unique<GdiResources>(width, height);
  CopyScreen(gdi_->memory_dc);
  // The rows are always asked for as 32-bit BGRA, whatever the screen's own depth: the caller's buffer holds
  // four bytes per pixel, and at eight bits or fewer GDI would also write a colour table that BITMAPINFO has
  // no room for.
  bitmap_info_ = TopDownBgraBitmap(width, height);
}

GDISource::~GDISource() = default;

HRESULT GDISource::CopyScreen(HDC target) {
  const RECT capture = settings_.CaptureRect();
  const int32_t width = settings_.CaptureWidth();
  const int32_t height = settings_.CaptureHeight();
  const int32_t band_rows = CaptureBandRows(height, int64_t{width} * 4, kMaxBandBytes);
  for (int32_t top = 0; top < height; top += band_rows) {
    const int32_t rows = std::min(band_rows, height - top);
    if (!BitBlt(target, 0, top, width, rows, gdi_->screen_dc, capture.left, capture.top + top, SRCCOPY)) {
      LogWinErr("Failed to do BitBlt");
      return E_FAIL;
    }
  }
  return S_OK;
}

HRESULT GDISource::CaptureToSystemMemory(uint8_t** destination) {
  if (destination == nullptr || *destination == nullptr) return VELL_TRACE_FAILURE(E_POINTER);
  RETURN_IF_FAILED(CopyScreen(gdi_->memory_dc));
  DrawCursor(gdi_->memory_dc);
  const int rows = GetDIBits(gdi_->memory_dc, gdi_->bitmap, 0, static_cast<UINT>(settings_.CaptureHeight()),
                             *destination, &bitmap_info_, DIB_RGB_COLORS);
  if (rows != settings_.CaptureHeight()) {
    LogWinErr("Failed to do GetDIBits");
    return VELL_TRACE_FAILURE(E_FAIL);
  }
  return S_OK;
}

HRESULT GDISource::DrawCursor(HDC target) {
  CursorCopy icon;
  // No cursor showing is no cursor drawn, reported as a failure.
  if (icon.CopyCurrent() != S_OK) return E_FAIL;
  const CursorPlacement place =
      PlaceCursor(icon.Position().x, icon.Position().y, static_cast<int32_t>(icon.Info().xHotspot),
                  static_cast<int32_t>(icon.Info().yHotspot), ToDisplayRect(settings_.CaptureRect()));
  if (!place.draw) return S_OK;
  return DrawIcon(target, place.x, place.y, icon.Get()) ? S_OK : E_FAIL;
}

}  // namespace VellRecorder
