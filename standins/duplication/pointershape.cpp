#include "pointershape.h"

namespace VellRecorder::StandIn {
namespace {

// Rows of `bitmap` at `bits` per pixel, top-down, DWORD-aligned.
bool ReadRows(HBITMAP bitmap, int width, int height, WORD bits, std::vector<uint8_t>* rows) {
  BITMAPINFO header{};
  header.bmiHeader.biSize = sizeof(header.bmiHeader);
  header.bmiHeader.biWidth = width;
  header.bmiHeader.biHeight = -height;
  header.bmiHeader.biPlanes = 1;
  header.bmiHeader.biBitCount = bits;
  header.bmiHeader.biCompression = BI_RGB;
  const size_t pitch = ((static_cast<size_t>(width) * bits + 31) / 32) * 4;
  rows->assign(pitch * height, 0);
  // Room for the two colour entries GetDIBits writes at one bit per pixel.
  struct {
    BITMAPINFO info;
    RGBQUAD more[2];
  } with_colours{header, {}};
  HDC screen = GetDC(nullptr);
  const int copied = GetDIBits(screen, bitmap, 0, height, rows->data(), &with_colours.info, DIB_RGB_COLORS);
  ReleaseDC(nullptr, screen);
  return copied == height;
}

}  // namespace

bool ReadPointerShape(HCURSOR cursor, std::vector<uint8_t>* shape, DXGI_OUTDUPL_POINTER_SHAPE_INFO* info) {
  HICON icon = cursor != nullptr ? CopyIcon(cursor) : nullptr;
  if (icon == nullptr) icon = CopyIcon(LoadCursorW(nullptr, IDC_ARROW));
  if (icon == nullptr) return false;
  ICONINFO icon_info{};
  bool ok = GetIconInfo(icon, &icon_info) != FALSE;
  BITMAP mask{};
  if (ok) ok = GetObjectW(icon_info.hbmMask, sizeof(mask), &mask) != 0;
  if (ok) {
    const int width = mask.bmWidth;
    // A monochrome cursor's mask holds the AND rows above the XOR rows.
    const int height = icon_info.hbmColor != nullptr ? mask.bmHeight : mask.bmHeight / 2;
    *info = {};
    info->Width = static_cast<UINT>(width);
    info->Height = static_cast<UINT>(height);
    info->HotSpot = POINT{static_cast<LONG>(icon_info.xHotspot), static_cast<LONG>(icon_info.yHotspot)};
    if (icon_info.hbmColor != nullptr) {
      info->Type = DXGI_OUTDUPL_POINTER_SHAPE_TYPE_COLOR;
      info->Pitch = static_cast<UINT>(width) * 4;
      std::vector<uint8_t> and_rows;
      ok = ReadRows(icon_info.hbmColor, width, height, 32, shape) && ReadRows(icon_info.hbmMask, width, height, 1,
                                                                               &and_rows);
      bool has_alpha = false;
      for (size_t i = 3; ok && i < shape->size(); i += 4) has_alpha |= (*shape)[i] != 0;
      const size_t mask_pitch = ((static_cast<size_t>(width) + 31) / 32) * 4;
      for (int y = 0; ok && !has_alpha && y < height; ++y) {
        for (int x = 0; x < width; ++x) {
          const bool transparent = (and_rows[y * mask_pitch + x / 8] >> (7 - x % 8)) & 1;
          (*shape)[(static_cast<size_t>(y) * width + x) * 4 + 3] = transparent ? 0 : 0xFF;
        }
      }
    } else {
      info->Type = DXGI_OUTDUPL_POINTER_SHAPE_TYPE_MONOCHROME;
      info->Pitch = static_cast<UINT>(((width + 31) / 32) * 4);
      ok = ReadRows(icon_info.hbmMask, width, mask.bmHeight, 1, shape);
    }
  }
  if (icon_info.hbmMask != nullptr) DeleteObject(icon_info.hbmMask);
  if (icon_info.hbmColor != nullptr) DeleteObject(icon_info.hbmColor);
  DestroyIcon(icon);
  return ok;
}

}  // namespace VellRecorder::StandIn
