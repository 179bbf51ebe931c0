#include "desktop/testwindow.h"

#include <cstdint>
#include <vector>

#include "media_sources/patternwindow.h"

namespace VellRecorder::Testing {
namespace {

constexpr wchar_t kClassName[] = L"VellTestWindow";

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

}  // namespace

LRESULT CALLBACK TestWindow::WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_PAINT) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    PaintPattern(window, dc);
    EndPaint(window, &paint);
    return 0;
  }
  if (message == WM_PRINTCLIENT) {
    PaintPattern(window, reinterpret_cast<HDC>(wparam));
    return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

TestWindow::TestWindow(const std::wstring& title, RECT client, WindowStyle style) {
  WNDCLASSW window_class = {};
  window_class.lpfnWndProc = &TestWindow::WindowProc;
  window_class.hInstance = GetModuleHandleW(nullptr);
  window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  window_class.lpszClassName = kClassName;
  RegisterClassW(&window_class);  // fails harmlessly when registered by an earlier window
  DWORD window_style = style == WindowStyle::kFramed ? WS_OVERLAPPEDWINDOW : WS_POPUP;
  if (style != WindowStyle::kHidden) window_style |= WS_VISIBLE;
  RECT outer = client;
  AdjustWindowRectEx(&outer, window_style, FALSE, 0);
  window_ = CreateWindowExW(0, kClassName, title.c_str(), window_style, outer.left, outer.top,
                            outer.right - outer.left, outer.bottom - outer.top, nullptr, nullptr,
                            GetModuleHandleW(nullptr), nullptr);
  if (window_ != nullptr && style != WindowStyle::kHidden) UpdateWindow(window_);
}

TestWindow::~TestWindow() {
  if (window_ != nullptr) DestroyWindow(window_);
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

}  // namespace VellRecorder::Testing
