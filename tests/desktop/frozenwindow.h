// Windows of frozen programs, for the window queries' tests and benchmark.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>
#include <thread>

#include "testing/testwindow.h"

namespace VellRecorder::Testing {

// A window of this process owned by a thread of its own, which pumps its messages until Freeze() and then,
// until Thaw() or the object's end, stands for a frozen program: kStopsPumping takes no message at all;
// kHangsWhenAsked still answers an empty message (WM_NULL) but hangs inside what the window calls ask of it
// (a print, a restore, an activation), so that it hangs during a call rather than before it.
enum class Freeze { kStopsPumping, kHangsWhenAsked };

class FrozenWindow {
 public:
  FrozenWindow(const std::wstring& title, RECT client, Freeze how);
  ~FrozenWindow();
  FrozenWindow(const FrozenWindow&) = delete;
  FrozenWindow& operator=(const FrozenWindow&) = delete;

  HWND Handle() const { return window_; }
  void Freeze();
  void Thaw();

 private:
  void Own(const std::wstring& title, RECT client, HANDLE made);
  static LRESULT CALLBACK HangingProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

  const Testing::Freeze how_;
  HANDLE wake_;                     // auto-reset: the owner looks at frozen_ and leaving_ again
  HANDLE thawed_;                   // manual-reset: set while not frozen
  std::atomic<bool> frozen_{false};
  std::atomic<bool> leaving_{false};
  std::atomic<HWND> window_{nullptr};
  WNDPROC original_ = nullptr;  // the owner thread's only
  std::thread owner_;
};

}  // namespace VellRecorder::Testing
