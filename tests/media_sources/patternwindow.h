// A top-most popup window of the test's own that shows a known picture at a known place on the screen, so
// that captures of the virtual screen can be compared pixel by pixel.
#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

namespace VellRecorder::Testing {

// The colour of pixel (x, y) of the pattern as 0x00RRGGBB; no two rows and no two columns alike, and none
// black or white, so the cursor's outline shows against every pixel.
uint32_t PatternColor(int x, int y);
// Paints the pattern over the window's client area, from the client area's own top-left corner.
void PaintPattern(HWND window, HDC dc);
// Processes this thread's window messages for a while (painting, cursor shape).
void PumpMessages(DWORD milliseconds);

class PatternWindow {
 public:
  PatternWindow(RECT screen_rect);
  ~PatternWindow();
  PatternWindow(const PatternWindow&) = delete;
  PatternWindow& operator=(const PatternWindow&) = delete;

  bool IsOpen() const { return window_ != nullptr; }
  HWND Handle() const { return window_; }
  static void Pump(DWORD milliseconds) { PumpMessages(milliseconds); }

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

  HWND window_ = nullptr;
  int width_;
  int height_;
};

// Top-down BGRA pixels as 0x00RRGGBB, alpha ignored.
inline uint32_t RgbAt(const std::vector<uint8_t>& bgra, int width, int x, int y) {
  const size_t i = (static_cast<size_t>(y) * width + x) * 4;
  return (static_cast<uint32_t>(bgra[i + 2]) << 16) | (static_cast<uint32_t>(bgra[i + 1]) << 8) | bgra[i];
}

}  // namespace VellRecorder::Testing
