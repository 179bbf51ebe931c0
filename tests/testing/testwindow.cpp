#include "testing/testwindow.h"

#include "media_sources/video/topdownbitmap.h"

namespace VellRecorder::Testing {
namespace {

constexpr wchar_t kClassName[] = L"VellTestWindow";
// The window's painter lives in its extra bytes: GWLP_USERDATA is left to whoever subclasses the window.
constexpr int kPainterSlot = 0;

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
  const BITMAPINFO info = TopDownBgraBitmap(width, height);
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

LRESULT CALLBACK TestWindow::WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  const auto paint = reinterpret_cast<Painter>(GetWindowLongPtrW(window, kPainterSlot));
  if (message == WM_PAINT && paint) {
    PAINTSTRUCT paint_info;
    HDC dc = BeginPaint(window, &paint_info);
    paint(window, dc);
    EndPaint(window, &paint_info);
    return 0;
  }
  if (message == WM_PRINTCLIENT && paint) {
    paint(window, reinterpret_cast<HDC>(wparam));
    return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

TestWindow::TestWindow(const std::wstring& title, RECT client, WindowStyle style, Painter paint) : style_(style) {
  WNDCLASSW window_class = {};
  window_class.lpfnWndProc = &TestWindow::WindowProc;
  window_class.cbWndExtra = sizeof(Painter);
  window_class.hInstance = GetModuleHandleW(nullptr);
  window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  window_class.lpszClassName = kClassName;
  RegisterClassW(&window_class);  // fails harmlessly when registered by an earlier window
  DWORD window_style = style == WindowStyle::kFramed ? WS_OVERLAPPEDWINDOW : WS_POPUP;
  if (style != WindowStyle::kHidden) window_style |= WS_VISIBLE;
  const DWORD extended = style == WindowStyle::kOnTop ? WS_EX_TOPMOST | WS_EX_TOOLWINDOW : 0;
  RECT outer = client;
  AdjustWindowRectEx(&outer, window_style, FALSE, extended);
  window_ = CreateWindowExW(extended, kClassName, title.c_str(), window_style, outer.left, outer.top,
                            outer.right - outer.left, outer.bottom - outer.top, nullptr, nullptr,
                            GetModuleHandleW(nullptr), nullptr);
  if (window_ == nullptr) return;
  // Before the first WM_PAINT, which only the message loop or UpdateWindow delivers.
  SetWindowLongPtrW(window_, kPainterSlot, reinterpret_cast<LONG_PTR>(paint));
  if (style == WindowStyle::kHidden) return;
  if (style == WindowStyle::kOnTop) {
    SetWindowPos(window_, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_SHOWWINDOW);
  }
  UpdateWindow(window_);
  // On the screen before the test looks at it.
  if (style == WindowStyle::kOnTop) PumpMessages(300);
}

TestWindow::~TestWindow() {
  if (window_ != nullptr) DestroyWindow(window_);
  // Gone from the screen before the next test's picture is taken.
  if (style_ == WindowStyle::kOnTop) PumpMessages(50);
}

}  // namespace VellRecorder::Testing
