// Top-level windows with titles, places and sizes of the test's choice, painting the pattern of
// media_sources/patternwindow.h both when painted and when printed (WM_PRINTCLIENT), so that a picture taken
// with PrintWindow can be checked pixel by pixel.
#pragma once

#include <windows.h>

#include <string>

#include "media_sources/patternwindow.h"

namespace VellRecorder::Testing {

enum class WindowStyle { kPopup, kFramed, kHidden };

class TestWindow {
 public:
  // `client` is where the client area lies on the desktop; a framed window gets its frame around it.
  TestWindow(const std::wstring& title, RECT client, WindowStyle style = WindowStyle::kPopup);
  ~TestWindow();
  TestWindow(const TestWindow&) = delete;
  TestWindow& operator=(const TestWindow&) = delete;

  HWND Handle() const { return window_; }

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

  HWND window_ = nullptr;
};

}  // namespace VellRecorder::Testing
