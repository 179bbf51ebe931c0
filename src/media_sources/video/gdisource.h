// Screen source for when the GPU path is not available: GDI copies the capture rectangle of the screen into a
// memory bitmap, the cursor is drawn into it, and the pixels are handed out as top-down 32-bit BGRA.
#pragma once

#include <windows.h>

#include <memory>

#include "media_sources/video/videosource.h"

namespace VellRecorder {

// Created on the control thread, then used by one capture thread only; no locking.
class GDISource : public VideoSource {
 public:
  explicit GDISource(VideoRecordingSettings settings);
  ~GDISource() override;

  HRESULT CaptureToSystemMemory(uint8_t** destination) override;

 private:
  // The screen DC, a memory DC and a bitmap of the capture size selected into it; freed bitmap first.
  struct GdiResources {
    GdiResources(int width, int height);
    ~GdiResources();
    GdiResources(const GdiResources&) = delete;
    GdiResources& operator=(const GdiResources&) = delete;

    HWND window = nullptr;  // owner of screen_dc: none, the whole screen
    HDC screen_dc = nullptr;
    HDC memory_dc = nullptr;
    HBITMAP bitmap = nullptr;
    HGDIOBJ replaced = nullptr;  // what the bitmap replaced in memory_dc, put back before it is deleted
  };

  // BitBlt of the capture rectangle into `target` at its origin.
  HRESULT CopyScreen(HDC target);
  // Draws the cursor when its image starts inside the capture rectangle. E_FAIL when the cursor is hidden or
  // cannot be read or drawn; S_OK when drawn or outside.
  HRESULT DrawCursor(HDC target);

  std::unique_ptr<GdiResources> gdi_;
  BITMAPINFO bitmap_info_{};
};

}  // namespace VellRecorder
