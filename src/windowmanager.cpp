#include "windowmanager.h"

#include <atomic>
#include <memory>

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

// A quick look before a call that waits on the window: a thread that does not answer an empty message within the
// deadline is not given a call (and a thread the system already takes for hung fails at once), so that a frozen
// program does not strand a worker. A window may still hang during the call itself: the worker's deadline holds.
bool Answers(HWND window, std::chrono::milliseconds deadline) {
  DWORD_PTR result = 0;
  const UINT timeout = static_cast<UINT>(deadline.count());
  return SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG | SMTO_BLOCK, timeout, &result) != 0;
}

void* Address(HWND window) { return reinterpret_cast<void*>(window); }

// Titles are read in pieces this long, doubled until the whole text fits, up to the longest kept.
constexpr size_t kTitleChunk = 256;
constexpr size_t kLongestTitle = size_t{1} << 20;

}  // namespace

std::wstring GetWindowTitle(HWND window) {
  // GetWindowText asks a window of this process for its text, and waits for ever when that window's thread hangs.
  std::wstring title(kTitleChunk, L'\0');
  for (;;) {
    const int copied = InternalGetWindowText(window, title.data(), static_cast<int>(title.size()));
    if (copied <= 0) return std::wstring();
    if (static_cast<size_t>(copied) + 1 < title.size() || title.size() >= kLongestTitle) {
      title.resize(static_cast<size_t>(copied));
      return title;
    }
    title.resize(title.size() * 2);
  }
}

WindowManager::WindowManager(std::chrono::milliseconds window_deadline)
    : deadline_(window_deadline), worker_(window_deadline, kMaxStuckCalls) {
  screenshots_.Initialize();
}

std::vector<WindowInfo> WindowManager::ListWindows(bool take_screenshots,
                                                   const std::function<void()>& after_each_window) {
  std::vector<HWND> kept;
  EnumWindows(&KeepTitledVisibleWindow, reinterpret_cast<LPARAM>(&kept));
  std::vector<WindowInfo> windows;
  windows.reserve(kept.size());
  std::set<DWORD> unanswered;
  for (HWND window : kept) {
    WindowInfo info;
    info.window = window;
    info.bounds = ClientBoundsOnScreen(window);
    const DWORD thread = GetWindowThreadProcessId(window, &info.ownerPid);
    if (take_screenshots) {
      info.screenshotPath = Picture(std::to_wstring(windows.size()), window, thread, info.bounds, &unanswered);
    }
    info.title = GetWindowTitle(window);
    info.ownerName = OwnerNameFromTitle(info.title);
    windows.push_back(std::move(info));
    if (after_each_window) after_each_window();
  }
  return windows;
}

std::wstring WindowManager::Picture(const std::wstring& name, HWND window, DWORD thread, RECT bounds,
                                    std::set<DWORD>* unanswered) {
  if (unanswered->count(thread) != 0 || worker_.IsStuck(thread)) {
    LOG_WARNING << "window " << Address(window) << ": its thread " << thread << " does not answer; no picture";
    return std::wstring();
  }
  if (!Answers(window, deadline_)) {
    LOG_WARNING << "window " << Address(window) << " did not answer within " << deadline_.count()
                << " ms; no picture";
    unanswered->insert(thread);
    return std::wstring();
  }
  // Shared with the worker: a print abandoned at the deadline keeps its bitmap until it returns.
  const auto print = std::make_shared<WindowPrint>(bounds.right - bounds.left, bounds.bottom - bounds.top);
  const DeadlineWorker::Outcome outcome = worker_.Run(thread, [print, window] { print->Print(window); });
  if (outcome == DeadlineWorker::Outcome::kSkipped) {
    LOG_WARNING << "window " << Address(window) << ": " << worker_.StuckCount()
                << " calls to windows that do not answer are still stuck; no picture";
    return std::wstring();
  }
  if (outcome == DeadlineWorker::Outcome::kTimedOut) {
    LOG_WARNING << "window " << Address(window) << " was not printed within " << deadline_.count()
                << " ms; no picture";
    unanswered->insert(thread);
    return std::wstring();
  }
  return screenshots_.SavePicture(name, print->Bitmap());
}

void WindowManager::SetActiveWindow(const std::wstring& title) {
  const HWND window = FindWindowByTitle(title);
  if (window == nullptr) {
    LOG_ERROR << "no window found";
    return;
  }
  const DWORD thread = GetWindowThreadProcessId(window, nullptr);
  if (worker_.IsStuck(thread) || !Answers(window, deadline_)) {
    LOG_WARNING << "window " << Address(window) << " does not answer; not brought to the front";
    return;
  }
  // Restoring waits on the window's thread. A window that answers only after the deadline is not then brought to
  // the front: the host application asked for it long before.
  const auto abandoned = std::make_shared<std::atomic<bool>>(false);
  const DeadlineWorker::Outcome outcome = worker_.Run(thread, [window, abandoned] {
    if (IsIconic(window)) ShowWindow(window, SW_RESTORE);
    if (*abandoned) return;
    ObtainForegroundRights();
    SetForegroundWindow(window);
  });
  if (outcome != DeadlineWorker::Outcome::kDone) {
    *abandoned = true;
    LOG_WARNING << "window " << Address(window) << " was not brought to the front: "
                << (outcome == DeadlineWorker::Outcome::kTimedOut
                        ? "it did not answer within " + std::to_string(deadline_.count()) + " ms"
                        : std::to_string(worker_.StuckCount()) + " calls to windows that do not answer are stuck");
  }
}

}  // namespace VellRecorder
