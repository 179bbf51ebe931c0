// GDI's header for a picture as the screen sources capture it: 32-bit BGRA rows, top row first.
#pragma once

#include <windows.h>

namespace VellRecorder {

inline BITMAPINFO TopDownBgraBitmap(LONG width, LONG height) {
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;  // top-down rows
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  return info;
}

}  // namespace VellRecorder
