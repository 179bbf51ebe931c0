#include "media_sources/patternwindow.h"

namespace VellRecorder::Testing {
namespace {

constexpr wchar_t kClassName[] = L"VellPatternWindow";

}  // namespace

uint32_t PatternColor(int x, int y) {
  const uint32_t r = 0x20 + (x * 3) % 0xC0;
  const uint32_t g = 0x20 + (y * 5) % 0xC0;
  const uint32_t b = 0x40 + ((x + y) % 0x80);
  return (r << 16) | (g << 8) | b;
}

void PaintPattern(HWND window, HDC dc) {
  RECT client;
  GetClientRect(window, &client);
  const int width = client.right;
  const int height = client.bottom;
  if (width <= 0 || height <= 0) return;
  std::vector<uint32_t> pixels(static_cast<size_t>(width) * height);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) pixels[static_cast<size_t>(y) * width + x] = PatternColor(x, y);
  }
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  SetDIBitsToDevice(dc, 0, 0, width, height, 0, 0, 0, height, pixels.data(), &info, DIB_RGB_COLORS);
}

void PumpMessages(DWORD milliseconds) {
  const ULONGLONG end = GetTickCount64() + milliseconds;
  do {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    Sleep(5);
  } while (GetTickCount64() < end);
}

LRESULT CALLBACK PatternWindow::WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_PAINT) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    PaintPattern(window, dc);
    EndPaint(window, &paint);
    return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

PatternWindow::PatternWindow(RECT screen_rect)
    : width_(screen_rect.right - screen_rect.left), height_(screen_rect.bottom - screen_rect.top) {
  WNDCLASSW window_class = {};
  window_class.lpfnWndProc = &PatternWindow::WindowProc;
  window_class.hInstance = GetModuleHandleW(nullptr);
  window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  window_class.lpszClassName = kClassName;
  RegisterClassW(&window_class);  // fails harmlessly when registered by an earlier window
  window_ = CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, kClassName, L"pattern", WS_POPUP | WS_VISIBLE,
                            screen_rect.left, screen_rect.top, width_, height_, nullptr, nullptr,
                            GetModuleHandleW(nullptr), nullptr);
  if (window_ != nullptr) {
    SetWindowPos(window_, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_SHOWWINDOW);
    UpdateWindow(window_);
    Pump(300);
  }
}

PatternWindow::~PatternWindow() {
  if (window_ != nullptr) DestroyWindow(window_);
  Pump(50);
}

}  // namespace VellRecorder::Testing
