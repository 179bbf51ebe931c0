#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>

#include "testing/watchdog.h"

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
  command = L"\"" + command.substr(0, command.rfind(L'\\') + 1) + L"video_scale_probe.exe\"";
  FILE* probe = _wpopen(command.c_str(), L"rb");
  if (probe == nullptr) return "probe did not start";
  std::string output;
  char buffer[256];
  while (size_t got = fread(buffer, 1, sizeof(buffer), probe)) output.append(buffer, got);
  _pclose(probe);
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
  // Sets the desktop DPI and checks what a freshly started probe reports; skips when the system does not
  // report a raised DPI for the monitor.
  void ExpectProbeOutput(DWORD dpi, const std::string& expected) {
    WriteLogPixels(dpi);
    std::string output;
    Testing::WithinOrDie(Testing::kHangLimit, "the scale probe", [&output] { output = RunProbe(); });
    if (dpi != 96 && output.rfind("dpi=" + std::to_string(dpi) + " ", 0) != 0) {
      GTEST_SKIP() << "the system does not report " << dpi << " DPI for the monitor: " << output;
    }
    EXPECT_EQ(output, expected);
  }
  std::optional<DWORD> saved_;
};

TEST_F(ScaleFactorTest, DefaultDpiIsScaleOne) {
  ExpectProbeOutput(96, "dpi=96 scale=1.000 logical=150,300,1500,900\r\n");
}

TEST_F(ScaleFactorTest, At144DpiTheScaleIsOneAndAHalf) {
  ExpectProbeOutput(144, "dpi=144 scale=1.500 logical=100,200,1000,600\r\n");
}

TEST_F(ScaleFactorTest, BeforeWindows81TheScaleIsOneWhateverTheDpi) {
  SetProbeWindowsVersion(L"win8");
  ExpectProbeOutput(144, "dpi=144 scale=1.000 logical=150,300,1500,900\r\n");
}

}  // namespace
}  // namespace VellRecorder
