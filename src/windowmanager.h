// Top-level windows the host application may offer for recording: listing (with optional pictures) and
// bringing one to the front by its title. Pictures and activation wait on the window's own thread, which may have
// stopped pumping messages (a frozen program): each such wait is bounded (kWindowDeadline), and a window that does
// not answer in time is listed without a picture or left where it is, with one record. Nothing else the two
// operations do sends the window a message.
#pragma once

#include <windows.h>

#include <chrono>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "screenshothelper.h"
#include "utils/deadlineworker.h"

namespace VellRecorder {

struct WindowInfo {
  std::wstring screenshotPath;  // PNG of the client area; empty unless asked for, or when it could not be written
  HWND window = nullptr;
  std::wstring ownerName;       // derived from the title (windowlist.h)
  DWORD ownerPid = 0;
  std::wstring title;
  RECT bounds{};                // client area in desktop pixels
  bool isOnscreen = true;
};

// The window's whole text as the system keeps it (read without asking the window); empty when it has none.
std::wstring GetWindowTitle(HWND window);

// Used on the control thread only; no locking. Both operations are synchronous; the calls that wait on a window
// run on a worker (DeadlineWorker) and are given up after the deadline.
class WindowManager {
 public:
  // How long one window may keep the caller waiting. A print of a window that answers takes milliseconds.
  static constexpr std::chrono::milliseconds kWindowDeadline{300};
  // Threads left stuck in a window's call at most; while a window's thread has one, the window is not tried.
  static constexpr int kMaxStuckCalls = 4;

  // `window_deadline`: other than kWindowDeadline only where a machine is too busy for it (tests).
  explicit WindowManager(std::chrono::milliseconds window_deadline = kWindowDeadline);
  WindowManager(const WindowManager&) = delete;
  WindowManager& operator=(const WindowManager&) = delete;

  // Visible top-level windows with a title, in the system's enumeration order (front to back). Pictures are
  // named after the window's place in the list ("0-<seconds>.png" for the first). `after_each_window` runs on
  // the calling thread after every window, so that the caller's other work (the channel's part reports) goes
  // on while a long list is pictured.
  std::vector<WindowInfo> ListWindows(bool take_screenshots, const std::function<void()>& after_each_window = {});
  // Restores the window with exactly this title (or the title as listed, when the window's own text is not
  // valid UTF-16) when minimised and makes it the foreground window. Logs "no window found" when none has it.
  void SetActiveWindow(const std::wstring& title);

 private:
  // The window's picture, or empty when none was written. `unanswered`: the threads that did not answer during
  // this listing, so that each costs the deadline once.
  std::wstring Picture(const std::wstring& name, HWND window, DWORD thread, RECT bounds, std::set<DWORD>* unanswered);

  const std::chrono::milliseconds deadline_;
  ScreenshotHelper screenshots_;
  DeadlineWorker worker_;
};

}  // namespace VellRecorder
