#include <windows.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "utils/scopedhandle.h"

namespace VellRecorder {
namespace {

constexpr wchar_t kDesktopKey[] = L"Control Panel\\Desktop";
constexpr wchar_t kLogPixels[] = L"LogPixels";
// Wine's per-program Windows version; a new prefix reports Windows 7 to every program.
constexpr wchar_t kProbeVersionKey[] = L"Software\\Wine\\AppDefaults\\video_scale_probe.exe";

std::optional<DWORD> ReadLogPixels() {
  DWORD value = 0;
  DWORD size = sizeof(value);
  if (RegGetValueW(HKEY_CURRENT_USER, kDesktopKey, kLogPixels, RRF_RT_REG_DWORD, nullptr, &value, &size) !=
      ERROR_SUCCESS) {
    return std::nullopt;
  }
  return value;
}

void WriteLogPixels(std::optional<DWORD> value) {
  if (value) {
    RegSetKeyValueW(HKEY_CURRENT_USER, kDesktopKey, kLogPixels, REG_DWORD, &*value, sizeof(*value));
  } else {
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kDesktopKey, kLogPixels);
  }
}

void SetProbeWindowsVersion(const wchar_t* version) {
  RegSetKeyValueW(HKEY_CURRENT_USER, kProbeVersionKey, L"Version", REG_SZ, version,
                  static_cast<DWORD>((wcslen(version) + 1) * sizeof(wchar_t)));
}

// Runs the probe that sits beside this test and returns what it printed.
std::string RunProbe() {
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring command = path;
  command = command.substr(0, command.rfind(L'\\') + 1) + L"video_scale_probe.exe";

  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  HANDLE read_raw = nullptr;
  HANDLE write_raw = nullptr;
  if (!CreatePipe(&read_raw, &write_raw, &inherit, 0)) return "no pipe";
  ScopedHandle read_end(read_raw);
  ScopedHandle write_end(write_raw);
  SetHandleInformation(read_end.Get(), HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = write_end.Get();
  startup.hStdError = write_end.Get();
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
    return "probe did not start";
  }
  ScopedHandle process_handle(process.hProcess);
  ScopedHandle thread_handle(process.hThread);
  write_end.Reset();  // the probe holds the only write end now: reading ends when it exits

  std::string output;
  char buffer[256];
  DWORD got = 0;
  while (ReadFile(read_end.Get(), buffer, sizeof(buffer), &got, nullptr) && got > 0) output.append(buffer, got);
  WaitForSingleObject(process_handle.Get(), 30000);
  return output;
}

class ScaleFactorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = ReadLogPixels();
    SetProbeWindowsVersion(L"win10");
  }
  void TearDown() override {
    WriteLogPixels(saved_);
    RegDeleteTreeW(HKEY_CURRENT_USER, kProbeVersionKey);
  }
  std::optional<DWORD> saved_;
};

TEST_F(ScaleFactorTest, DefaultDpiIsScaleOne) {
  WriteLogPixels(96);
  EXPECT_EQ(RunProbe(), "dpi=96 scale=1.000 logical=150,300,1500,900\r\n");
}

TEST_F(ScaleFactorTest, At144DpiTheScaleIsOneAndAHalf) {
  WriteLogPixels(144);
  const std::string output = RunProbe();
  if (output.rfind("dpi=144 ", 0) != 0) {
    GTEST_SKIP() << "the system does not report 144 DPI for the monitor: " << output;
  }
  EXPECT_EQ(output, "dpi=144 scale=1.500 logical=100,200,1000,600\r\n");
}

TEST_F(ScaleFactorTest, BeforeWindows81TheScaleIsOneWhateverTheDpi) {
  WriteLogPixels(144);
  SetProbeWindowsVersion(L"win8");
  const std::string output = RunProbe();
  if (output.rfind("dpi=144 ", 0) != 0) {
    GTEST_SKIP() << "the system does not report 144 DPI for the monitor: " << output;
  }
  EXPECT_EQ(output, "dpi=144 scale=1.000 logical=150,300,1500,900\r\n");
}

}  // namespace
}  // namespace VellRecorder
