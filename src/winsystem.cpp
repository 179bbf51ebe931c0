#include "winsystem.h"

#include <windows.h>

#include <cwchar>

#include "utils/log.h"
#include "utils/windowsversion.h"

namespace VellRecorder {
namespace {

constexpr wchar_t kGpuPreferencesKey[] = L"Software\\Microsoft\\DirectX\\UserGpuPreferences";
constexpr wchar_t kPowerSaving[] = L"GpuPreference=1;";

}  // namespace

int WinSystem::ForcePowerSavingMode() {
  if (!IsWindows10OrGreater()) return 0;

  wchar_t executable[256] = {};
  GetModuleFileNameW(nullptr, executable, 256);

  wchar_t stored[128] = {};
  DWORD stored_size = sizeof(stored);
  if (RegGetValueW(HKEY_CURRENT_USER, kGpuPreferencesKey, executable, RRF_RT_REG_SZ, nullptr, stored,
                   &stored_size) == ERROR_SUCCESS &&
      std::wcscmp(stored, kPowerSaving) == 0) {
    return 0;
  }

  const LSTATUS status = RegSetKeyValueW(HKEY_CURRENT_USER, kGpuPreferencesKey, executable, REG_EXPAND_SZ,
                                         kPowerSaving, sizeof(kPowerSaving));
  if (status != ERROR_SUCCESS) {
    LOG_ERROR << "error setting registry value: " << status;
    return -1;
  }
  return 1;
}

}  // namespace VellRecorder
