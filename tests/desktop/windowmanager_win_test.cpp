#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <string>
#include <vector>

#include "desktop/frozenwindow.h"
#include "testing/decodedpicture.h"
#include "testing/logcapture.h"
#include "testing/testwindow.h"
#include "utils/scopedhandle.h"
#include "windowmanager.h"

namespace VellRecorder {
namespace {

using Testing::DecodedPicture;
using Testing::Freeze;
using Testing::FrozenWindow;
using Testing::TestWindow;
using Testing::WindowStyle;

constexpr auto kLimit = std::chrono::seconds(20);
// Long enough for a window that answers on a loaded machine; a frozen window is given up after it.
constexpr auto kFrozenDeadline = std::chrono::milliseconds(1000);
// A call that meets frozen windows waits for each thread once at most; one still waiting after this waits for the
// window.
constexpr auto kFrozenLimit = std::chrono::seconds(10);

// The call runs on another thread while this one keeps processing its windows' messages (the listing prints
// them, activation sends them). A call that does not return fails the test and ends the program, as
// testing/watchdog.h does.
template <typename Call>
auto PumpingWithin(const char* what, Call&& call, std::chrono::seconds limit = kLimit) {
  auto done = std::async(std::launch::async, std::forward<Call>(call));
  const auto end = std::chrono::steady_clock::now() + limit;
  while (done.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready) {
    if (std::chrono::steady_clock::now() > end) {
      ADD_FAILURE() << what << " did not return in time";
      std::fprintf(stderr, "watchdog: %s hung; ending the test program\n", what);
      std::fflush(stderr);
      std::_Exit(3);
    }
    Testing::PumpMessages(10);
  }
  return done.get();
}

// Waits for a condition, processing messages; false after the limit.
template <typename Condition>
bool PumpUntil(Condition condition) {
  const auto end = std::chrono::steady_clock::now() + kLimit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    Testing::PumpMessages(20);
  }
  return true;
}

std::wstring OwnerExe() {
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring dir(path);
  return dir.substr(0, dir.rfind(L'\\') + 1) + L"windowowner.exe";
}

// A window owned by a process of its own, gone with the object.
class OtherProcessWindow {
 public:
  OtherProcessWindow(const std::wstring& title, RECT r) {
    // No stop file: the process is ended with the object.
    std::wstring command = L"\"" + OwnerExe() + L"\" 60000 \"\" \"" + title + L"\" " + std::to_wstring(r.left) +
                           L" " + std::to_wstring(r.top) + L" " + std::to_wstring(r.right) + L" " +
                           std::to_wstring(r.bottom);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
      return;
    }
    process_.Reset(info.hProcess);
    CloseHandle(info.hThread);
    pid_ = info.dwProcessId;
    PumpUntil([&] { return (window_ = FindWindowW(nullptr, title.c_str())) != nullptr; });
  }
  ~OtherProcessWindow() {
    if (process_.IsValid()) {
      TerminateProcess(process_.Get(), 0);
      WaitForSingleObject(process_.Get(), 5000);
    }
  }
  HWND Handle() const { return window_; }
  DWORD Pid() const { return pid_; }

 private:
  ScopedHandle process_;
  DWORD pid_ = 0;
  HWND window_ = nullptr;
};

const WindowInfo* Find(const std::vector<WindowInfo>& list, HWND window) {
  for (const WindowInfo& info : list) {
    if (info.window == window) return &info;
  }
  return nullptr;
}

bool SameRect(const RECT& a, const RECT& b) {
  return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

std::string Text(const RECT& r) {
  char text[80];
  std::snprintf(text, sizeof(text), "{%ld,%ld,%ld,%ld}", r.left, r.top, r.right, r.bottom);
  return text;
}

TEST(WindowManagerTest, ListsVisibleTitledWindowsOfEveryProcessWithTheirValues) {
  const RECT popup_rect{100, 120, 420, 360};
  const RECT framed_rect{500, 100, 700, 250};
  const RECT offscreen_rect{-2400, -1500, -2200, -1400};
  const RECT other_rect{800, 500, 1000, 650};
  TestWindow popup(L"Vell Inbox - Mail", popup_rect);
  TestWindow framed(L"Vell Framed", framed_rect, WindowStyle::kFramed);
  TestWindow minimised(L"Vell Minimised - Tool", RECT{300, 700, 400, 800}, WindowStyle::kFramed);
  ShowWindow(minimised.Handle(), SW_MINIMIZE);
  TestWindow offscreen(L"Vell Offscreen", offscreen_rect);
  TestWindow hidden(L"Vell Hidden", RECT{10, 10, 50, 50}, WindowStyle::kHidden);
  TestWindow untitled(L"", RECT{60, 10, 90, 50});
  OtherProcessWindow other(L"Vell Other - Owner Process", other_rect);
  ASSERT_NE(other.Handle(), nullptr) << "windowowner.exe did not show its window";
  Testing::PumpMessages(200);
  ASSERT_TRUE(IsIconic(minimised.Handle()));

  WindowManager manager;
  const auto list = PumpingWithin("ListWindows", [&] { return manager.ListWindows(false); });

  const struct {
    HWND window;
    const wchar_t* title;
    const wchar_t* owner;
    const RECT* bounds;  // null: whatever the system gives a minimised window
    DWORD pid;
  } expected[] = {
      {popup.Handle(), L"Vell Inbox - Mail", L"Mail", &popup_rect, GetCurrentProcessId()},
      {framed.Handle(), L"Vell Framed", L"Vell Framed", &framed_rect, GetCurrentProcessId()},
      {minimised.Handle(), L"Vell Minimised - Tool", L"Tool", nullptr, GetCurrentProcessId()},
      {offscreen.Handle(), L"Vell Offscreen", L"Vell Offscreen", &offscreen_rect, GetCurrentProcessId()},
      {other.Handle(), L"Vell Other - Owner Process", L"Owner Process", &other_rect, other.Pid()},
  };
  for (const auto& e : expected) {
    const WindowInfo* info = Find(list, e.window);
    ASSERT_NE(info, nullptr) << "not listed: window " << (&e - expected);
    EXPECT_EQ(info->title, e.title);
    EXPECT_EQ(info->ownerName, e.owner);
    EXPECT_EQ(info->ownerPid, e.pid);
    EXPECT_TRUE(info->isOnscreen);
    EXPECT_TRUE(info->screenshotPath.empty());
    if (e.bounds != nullptr) {
      EXPECT_TRUE(SameRect(info->bounds, *e.bounds)) << Text(info->bounds);
    }
  }
  EXPECT_EQ(Find(list, hidden.Handle()), nullptr);
  EXPECT_EQ(Find(list, untitled.Handle()), nullptr);
  for (const WindowInfo& info : list) EXPECT_FALSE(info.title.empty());
}

std::wstring FileName(const std::wstring& path) { return path.substr(path.rfind(L'\\') + 1); }

TEST(WindowManagerTest, PicturesShowTheWindowsContentAndGoToANewFolderWhenTheirsIsGone) {
  const RECT rect{200, 200, 360, 300};
  TestWindow window(L"Vell Picture", rect, WindowStyle::kFramed);
  OtherProcessWindow other(L"Vell Other Picture", RECT{600, 200, 700, 260});
  ASSERT_NE(other.Handle(), nullptr);
  Testing::PumpMessages(200);

  WindowManager manager;
  const auto list = PumpingWithin("ListWindows", [&] { return manager.ListWindows(true); });
  ASSERT_FALSE(list.empty());
  // Files are named after the window's place in the list: the first one's begins with "0-".
  for (size_t i = 0; i < list.size(); ++i) {
    if (list[i].screenshotPath.empty()) continue;
    EXPECT_EQ(FileName(list[i].screenshotPath).rfind(std::to_wstring(i) + L"-", 0), 0u);
    EXPECT_NE(GetFileAttributesW(list[i].screenshotPath.c_str()), INVALID_FILE_ATTRIBUTES);
  }

  const WindowInfo* own = Find(list, window.Handle());
  ASSERT_NE(own, nullptr);
  ASSERT_FALSE(own->screenshotPath.empty());
  {
    const DecodedPicture picture(own->screenshotPath);
    ASSERT_EQ(picture.Width(), 160u);
    ASSERT_EQ(picture.Height(), 100u);
    for (int y : {0, 37, 99}) {
      for (int x : {0, 80, 159}) EXPECT_EQ(picture.RgbAt(x, y), Testing::PatternColor(x, y)) << x << "," << y;
    }
  }
  // Another process's window: Wine prints it black (PrintWindow cannot draw across processes there), so
  // only its file and size are checked; its content is not.
  const WindowInfo* foreign = Find(list, other.Handle());
  ASSERT_NE(foreign, nullptr);
  ASSERT_FALSE(foreign->screenshotPath.empty());
  EXPECT_EQ(DecodedPicture(foreign->screenshotPath).Width(), 100u);

  // The temporary directory is cleared under the running daemon: the next pictures go into a new folder.
  const std::wstring folder = own->screenshotPath.substr(0, own->screenshotPath.rfind(L'\\'));
  for (const WindowInfo& info : list) {
    if (!info.screenshotPath.empty()) DeleteFileW(info.screenshotPath.c_str());
  }
  ASSERT_TRUE(RemoveDirectoryW(folder.c_str()));
  Testing::LogCapture log;
  const auto after = PumpingWithin("ListWindows", [&] { return manager.ListWindows(true); });
  const WindowInfo* again = Find(after, window.Handle());
  ASSERT_NE(again, nullptr);
  ASSERT_FALSE(again->screenshotPath.empty()) << log.Text();
  EXPECT_EQ(DecodedPicture(again->screenshotPath).Width(), 160u);
  EXPECT_TRUE(log.Contains("is gone; making a new one"));
}

TEST(WindowManagerTest, SetActiveWindowBringsTheNamedWindowToTheFront) {
  TestWindow first(L"Vell Front A", RECT{100, 100, 300, 200}, WindowStyle::kFramed);
  TestWindow second(L"Vell Front B", RECT{400, 100, 600, 200}, WindowStyle::kFramed);
  TestWindow minimised(L"Vell Front Minimised", RECT{700, 100, 900, 200}, WindowStyle::kFramed);
  ShowWindow(minimised.Handle(), SW_MINIMIZE);
  // Its text is not valid UTF-16: the host receives it with U+FFFD and sends that back.
  TestWindow broken(std::wstring(L"Vell Front Broken ") + wchar_t(0xD800), RECT{100, 400, 300, 500});
  OtherProcessWindow other(L"Vell Front Other", RECT{400, 400, 600, 500});
  ASSERT_NE(other.Handle(), nullptr);
  Testing::PumpMessages(200);
  // Windows created later took the front, so each step below moves the foreground.
  ASSERT_NE(GetForegroundWindow(), first.Handle());

  WindowManager manager;
  const struct {
    std::wstring title;
    HWND window;
  } steps[] = {{L"Vell Front A", first.Handle()},
               {L"Vell Front Other", other.Handle()},
               {L"Vell Front Minimised", minimised.Handle()},
               {std::wstring(L"Vell Front Broken ") + wchar_t(0xFFFD), broken.Handle()},
               {L"Vell Front B", second.Handle()}};
  for (const auto& step : steps) {
    PumpingWithin("SetActiveWindow", [&] { manager.SetActiveWindow(step.title); });
    EXPECT_TRUE(PumpUntil([&] { return GetForegroundWindow() == step.window; }))
        << "not in front: step " << (&step - steps);
  }
  EXPECT_FALSE(IsIconic(minimised.Handle()));

  Testing::LogCapture log;
  PumpingWithin("SetActiveWindow", [&] { manager.SetActiveWindow(L"Vell No Such Window"); });
  EXPECT_TRUE(log.Contains("no window found"));
  Testing::PumpMessages(100);
  EXPECT_EQ(GetForegroundWindow(), second.Handle());
}

// Programs that froze: one stopped taking messages, two hang inside the calls made to them. Each costs the caller
// its deadline once, is listed without a picture and is not activated; the other windows are listed, pictured and
// activated as usual. Before the calls had a deadline, the first frozen window held the caller for as long as it
// stayed frozen (here: until the watchdog).
TEST(WindowManagerTest, FrozenWindowsHoldNoCallAndLeaveTheOthersIntact) {
  TestWindow normal(L"Vell Awake - App", RECT{100, 100, 300, 200}, WindowStyle::kFramed);
  FrozenWindow stopped(L"Vell Frozen Stopped", RECT{400, 100, 600, 200}, Freeze::kStopsPumping);
  FrozenWindow printing(L"Vell Frozen Printing", RECT{700, 100, 900, 200}, Freeze::kHangsWhenAsked);
  FrozenWindow restoring(L"Vell Frozen Restoring", RECT{100, 400, 300, 500}, Freeze::kHangsWhenAsked);
  ASSERT_NE(stopped.Handle(), nullptr);
  ASSERT_NE(printing.Handle(), nullptr);
  ASSERT_NE(restoring.Handle(), nullptr);
  ShowWindow(restoring.Handle(), SW_MINIMIZE);
  Testing::PumpMessages(200);
  ASSERT_TRUE(IsIconic(restoring.Handle()));
  for (FrozenWindow* frozen : {&stopped, &printing, &restoring}) frozen->Freeze();

  Testing::LogCapture log;
  WindowManager manager(kFrozenDeadline);
  // The restore hangs: the call is given up and the window stays where it is.
  PumpingWithin("SetActiveWindow", [&] { manager.SetActiveWindow(L"Vell Frozen Restoring"); }, kFrozenLimit);
  EXPECT_TRUE(log.Contains("was not brought to the front: it did not answer within")) << log.Text();
  PumpingWithin("SetActiveWindow", [&] { manager.SetActiveWindow(L"Vell Frozen Stopped"); }, kFrozenLimit);
  EXPECT_TRUE(log.Contains("does not answer; not brought to the front")) << log.Text();

  // Listed twice: the second time the print abandoned in the first one is still stuck.
  for (int round = 0; round < 2; ++round) {
    // The caller gets its turn after every window, the frozen ones included.
    size_t turns = 0;
    const auto list =
        PumpingWithin("ListWindows", [&] { return manager.ListWindows(true, [&] { ++turns; }); }, kFrozenLimit);
    EXPECT_EQ(turns, list.size());
    const WindowInfo* awake = Find(list, normal.Handle());
    ASSERT_NE(awake, nullptr);
    ASSERT_FALSE(awake->screenshotPath.empty()) << log.Text();
    EXPECT_EQ(DecodedPicture(awake->screenshotPath).RgbAt(5, 5), Testing::PatternColor(5, 5));
    const struct {
      const FrozenWindow* window;
      const wchar_t* title;
    } frozen[] = {{&stopped, L"Vell Frozen Stopped"},
                  {&printing, L"Vell Frozen Printing"},
                  {&restoring, L"Vell Frozen Restoring"}};
    for (const auto& f : frozen) {
      const WindowInfo* info = Find(list, f.window->Handle());
      ASSERT_NE(info, nullptr) << "not listed: " << (&f - frozen) << " in round " << round;
      EXPECT_EQ(info->title, f.title);
      EXPECT_EQ(info->ownerPid, GetCurrentProcessId());
      EXPECT_TRUE(info->screenshotPath.empty());
    }
  }
  EXPECT_TRUE(log.Contains("did not answer within")) << log.Text();
  EXPECT_TRUE(log.Contains("was not printed within")) << log.Text();
  EXPECT_TRUE(log.Contains("does not answer; no picture")) << log.Text();

  PumpingWithin("SetActiveWindow", [&] { manager.SetActiveWindow(L"Vell Awake - App"); }, kFrozenLimit);
  EXPECT_TRUE(PumpUntil([&] { return GetForegroundWindow() == normal.Handle(); }));
}

}  // namespace
}  // namespace VellRecorder
