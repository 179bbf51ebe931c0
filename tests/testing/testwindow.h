// Top-level windows of the test's own, with titles, places and sizes of its choice, that paint a known picture
// (the pattern below, or one of the test's) both when painted and when printed (WM_PRINTCLIENT), so that
// captures of the screen and pictures taken with PrintWindow can be checked pixel by pixel.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace VellRecorder::Testing {

// The colour of pixel (x, y) of the pattern as 0x00RRGGBB; no two rows and no two columns alike, and none
// black or white, so the cursor's outline shows against every pixel.
uint32_t PatternColor(int x, int y);
// Paints the pattern over the window's client area, from the client area's own top-left corner.
void PaintPattern(HWND window, HDC dc);
// Processes this thread's window messages for a while (painting, cursor shape).
void PumpMessages(DWORD milliseconds);

// Top-down BGRA pixels as 0x00RRGGBB, alpha ignored.
inline uint32_t RgbAt(const std::vector<uint8_t>& bgra, int width, int x, int y) {
  const size_t i = (static_cast<size_t>(y) * width + x) * 4;
  return (static_cast<uint32_t>(bgra[i + 2]) << 16) | (static_cast<uint32_t>(bgra[i + 1]) << 8) | bgra[i];
}

// kOnTop: a popup kept above every other window, without a taskbar button, and already painted when the
// constructor returns: a picture on the screen for captures to find.
enum class WindowStyle { kPopup, kFramed, kHidden, kOnTop };
using Painter = void (*)(HWND window, HDC dc);

class TestWindow {
 public:
  // `client` is where the client area lies on the desktop; a framed window gets its frame around it.
  TestWindow(const std::wstring& title, RECT client, WindowStyle style = WindowStyle::kPopup,
             Painter paint = &PaintPattern);
  ~TestWindow();
  TestWindow(const TestWindow&) = delete;
  TestWindow& operator=(const TestWindow&) = delete;

  bool IsOpen() const { return window_ != nullptr; }
  HWND Handle() const { return window_; }

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

  const WindowStyle style_;
  HWND window_ = nullptr;
};

}  // namespace VellRecorder::Testing
