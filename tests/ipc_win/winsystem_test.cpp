#include <windows.h>

#include <string>

#include <gtest/gtest.h>

#include "winsystem.h"

namespace VellRecorder {
namespace {

constexpr wchar_t kKey[] = L"Software\\Microsoft\\DirectX\\UserGpuPreferences";

std::wstring ExecutablePath() {
  wchar_t path[256] = {};
  GetModuleFileNameW(nullptr, path, 256);
  return path;
}

struct Stored {
  DWORD type = 0;
  std::wstring text;
};

Stored ReadValue() {
  wchar_t data[128] = {};
  DWORD size = sizeof(data);
  Stored stored;
  if (RegGetValueW(HKEY_CURRENT_USER, kKey, ExecutablePath().c_str(), RRF_RT_ANY | RRF_NOEXPAND, &stored.type, data,
                   &size) == ERROR_SUCCESS) {
    stored.text = data;
  }
  return stored;
}

class WinSystemTest : public ::testing::Test {
 protected:
  void SetUp() override { RegDeleteKeyValueW(HKEY_CURRENT_USER, kKey, ExecutablePath().c_str()); }
  void TearDown() override { SetUp(); }
};

TEST_F(WinSystemTest, WritesThePreferenceOnceAsExpandableText) {
  EXPECT_EQ(WinSystem::ForcePowerSavingMode(), 1);
  const Stored stored = ReadValue();
  EXPECT_EQ(stored.type, static_cast<DWORD>(REG_EXPAND_SZ));
  EXPECT_EQ(stored.text, L"GpuPreference=1;");
  EXPECT_EQ(WinSystem::ForcePowerSavingMode(), 0);
}

TEST_F(WinSystemTest, OverwritesAnyOtherText) {
  const wchar_t other[] = L"GpuPreference=2;";
  ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kKey, ExecutablePath().c_str(), REG_SZ, other, sizeof(other)),
            ERROR_SUCCESS);
  EXPECT_EQ(WinSystem::ForcePowerSavingMode(), 1);
  EXPECT_EQ(ReadValue().text, L"GpuPreference=1;");
  EXPECT_EQ(ReadValue().type, static_cast<DWORD>(REG_EXPAND_SZ));
}

TEST_F(WinSystemTest, ComparisonIsCaseSensitive) {
  const wchar_t other[] = L"gpupreference=1;";
  ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kKey, ExecutablePath().c_str(), REG_SZ, other, sizeof(other)),
            ERROR_SUCCESS);
  EXPECT_EQ(WinSystem::ForcePowerSavingMode(), 1);
}

}  // namespace
}  // namespace VellRecorder
