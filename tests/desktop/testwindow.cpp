#include "desktop/testwindow.h"

#include "media_sources/patternwindow.h"

namespace VellRecorder::Testing {
namespace {

constexpr wchar_t kClassName[] = L"VellTestWindow";

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

}  // namespace VellRecorder::Testing
