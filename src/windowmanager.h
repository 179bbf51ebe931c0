// Top-level windows the host application may offer for recording: listing (with optional pictures) and
// bringing one to the front by its title.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "screenshothelper.h"

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

// The window's whole text; empty when it has none.
std::wstring GetWindowTitle(HWND window);

// Used on the control thread only; no locking. Both operations are synchronous.
class WindowManager {
 public:
  WindowManager();
  WindowManager(const WindowManager&) = delete;
  WindowManager& operator=(const WindowManager&) = delete;

  // Visible top-level windows with a title, in the system's enumeration order (front to back). Pictures are
  // named after the window's place in the list ("0-<seconds>.png" for the first).
  std::vector<WindowInfo> ListWindows(bool take_screenshots);
  // Restores the window with exactly this title (or the title as listed, when the window's own text is not
  // valid UTF-16) when minimised and makes it the foreground window. Logs "no window found" when none has it.
  void SetActiveWindow(const std::wstring& title);

 private:
  ScreenshotHelper screenshots_;
};

}  // namespace VellRecorder
