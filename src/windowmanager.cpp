#include "windowmanager.h"

#include "utils/log.h"
#include "windowlist.h"

namespace VellRecorder {
namespace {

BOOL CALLBACK KeepTitledVisibleWindow(HWND window, LPARAM list) {
  if (IsWindowVisible(window) && !GetWindowTitle(window).empty()) {
    reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
  }
  return TRUE;
}

RECT ClientBoundsOnScreen(HWND window) {
  RECT client{};
  GetClientRect(window, &client);
  POINT top_left{client.left, client.top};
  POINT bottom_right{client.right, client.bottom};
  ClientToScreen(window, &top_left);
  ClientToScreen(window, &bottom_right);
  return RECT{top_left.x, top_left.y, bottom_right.x, bottom_right.y};
}

// A process that has just moved its own console window may pass the foreground on to another window, which a
// background daemon otherwise may not. A console the process already had is left attached: freeing it would cut off the
// console log.
struct TitleSearch {
  const std::wstring* wanted;
  HWND found = nullptr;
};

BOOL CALLBACK FindByHostTitle(HWND window, LPARAM search_address) {
  auto* search = reinterpret_cast<TitleSearch*>(search_address);
  if (ReplaceLoneSurrogates(GetWindowTitle(window)) != *search->wanted) return TRUE;
  search->found = window;
  return FALSE;
}

// The window with exactly this title; failing that, one whose title the host received in repaired form (an
// unpaired surrogate replaced, windowlist.h), so that every listed window can be brought to the front.
HWND FindWindowByTitle(const std::wstring& title) {
  const HWND exact = FindWindowW(nullptr, title.c_str());
  if (exact != nullptr || title.find(wchar_t(0xFFFD)) == std::wstring::npos) return exact;
  TitleSearch search{&title};
  EnumWindows(&FindByHostTitle, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

void ObtainForegroundRights() {
  const bool created = AllocConsole() != FALSE;
  const HWND console = GetConsoleWindow();
  if (console != nullptr) SetWindowPos(console, nullptr, 0, 0, 0, 0, SWP_NOACTIVATE);
  if (created) FreeConsole();
}

}  // namespace

std::wstring GetWindowTitle(HWND window) {
  const int length = GetWindowTextLengthW(window);
  if (length <= 0) return std::wstring();
  std::wstring title(static_cast<size_t>(length) + 1, L'\0');
  const int copied = GetWindowTextW(window, title.data(), length + 1);
  // The text may have shrunk between the two calls.
  title.resize(copied > 0 ? static_cast<size_t>(copied) : 0);
  return title;
}

WindowManager::WindowManager() { screenshots_.Initialize(); }

std::vector<WindowInfo> WindowManager::ListWindows(bool take_screenshots) {
  std::vector<HWND> kept;
  EnumWindows(&KeepTitledVisibleWindow, reinterpret_cast<LPARAM>(&kept));
  std::vector<WindowInfo> windows;
  windows.reserve(kept.size());
  for (HWND window : kept) {
    WindowInfo info;
    info.window = window;
    info.bounds = ClientBoundsOnScreen(window);
    if (take_screenshots) {
      info.screenshotPath = screenshots_.TakeScreenshot(std::to_wstring(windows.size()), window, info.bounds);
    }
    GetWindowThreadProcessId(window, &info.ownerPid);
    info.title = GetWindowTitle(window);
    info.ownerName = OwnerNameFromTitle(info.title);
    windows.push_back(std::move(info));
  }
  return windows;
}

void WindowManager::SetActiveWindow(const std::wstring& title) {
  const HWND window = FindWindowByTitle(title);
  if (window == nullptr) {
    LOG_ERROR << "no window found";
    return;
  }
  if (IsIconic(window)) ShowWindow(window, SW_RESTORE);
  ObtainForegroundRights();
  SetForegroundWindow(window);
}

}  // namespace VellRecorder
