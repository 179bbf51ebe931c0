#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "hostcli/dllinjection.h"
#include "testing/testwindow.h"
#include "testing/watchdog.h"

namespace VellRecorder {
namespace {

constexpr RECT kPictureOnScreen{300, 200, 300 + 96, 200 + 64};

std::wstring Beside(const wchar_t* name) {
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring path = self;
  return path.substr(0, path.find_last_of(L"\\/") + 1) + name;
}

// Runs the probe, with the DLL loaded into it when one is given, and returns its exit status.
DWORD RunProbe(const std::wstring& dll, const char* faults, int expected_refusals) {
  SetEnvironmentVariableA("VELL_DUPLICATION_FAULTS", faults);
  const std::wstring probe = Beside(L"duplication_probe.exe");
  std::wstring command_line = L"\"" + probe + L"\" " + std::to_wstring(expected_refusals);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  DWORD status = 0xDEAD;
  std::vector<std::wstring> dlls;
  if (!dll.empty()) dlls.push_back(dll);
  const bool started = VellHost::StartProcess(probe, command_line, false, &startup, dlls, &process);
  SetEnvironmentVariableA("VELL_DUPLICATION_FAULTS", nullptr);  // the probe has its copy
  if (!started) return status;
  Testing::WithinOrDie(std::chrono::seconds(60), "the probe", [&] {
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &status);
  });
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return status;
}

// The launcher's DLL gives an unmodified program (the probe, as it will the daemon) a working desktop
// duplication over the real Wine desktop, faults included; without it Wine has none.
TEST(InjectionTest, TheInjectedDllGivesAnUnmodifiedProgramAWorkingDuplication) {
  std::wstring dll = VELL_DUPLICATION_DLL;
  std::replace(dll.begin(), dll.end(), L'/', L'\\');
  Testing::TestWindow window(L"pattern", kPictureOnScreen, Testing::WindowStyle::kOnTop);
  ASSERT_TRUE(window.IsOpen());
  SetCursorPos(1800, 1000);
  const struct {
    const wchar_t* dll;
    const char* faults;
    int refusals;
    DWORD status;
  } cases[] = {{L"", nullptr, 0, 2}, {dll.c_str(), nullptr, 0, 0}, {dll.c_str(), "lose-after=1,refusals=2", 2, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.dll[0] ? "with" : "without") << " the DLL, " << c.refusals << " refusals");
    EXPECT_EQ(RunProbe(c.dll, c.faults, c.refusals), c.status);
  }
  // A DLL that cannot be loaded stops the start: no process is left running without it.
  PROCESS_INFORMATION process{};
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  std::wstring command_line = L"probe 0";
  EXPECT_FALSE(VellHost::StartProcess(Beside(L"duplication_probe.exe"), command_line, false, &startup,
                                      {L"Z:\\nowhere\\missing.dll"}, &process));
  EXPECT_EQ(process.hProcess, nullptr);
}

}  // namespace
}  // namespace VellRecorder
