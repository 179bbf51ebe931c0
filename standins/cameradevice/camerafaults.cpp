#include "camerafaults.h"

#include <mferror.h>

#include <atomic>
#include <cwchar>
#include <sstream>
#include <thread>

#include "injection.h"
#include "utils/comptr.h"

namespace VellRecorder::StandIn {
namespace {

void Say(const std::string& text) { VellRecorder::StandIn::Say("vell-camera", text); }

bool ParseMs(const std::wstring& item, const wchar_t* key, DWORD* ms) {
  const size_t length = std::wcslen(key);
  if (item.compare(0, length, key) != 0 || item.size() == length) return false;
  wchar_t* end = nullptr;
  const unsigned long value = std::wcstoul(item.c_str() + length, &end, 10);
  if (*end != L'\0') return false;
  *ms = static_cast<DWORD>(value);
  return true;
}

const CameraFaults& Faults() {
  static const CameraFaults faults = [] {
    CameraFaults parsed;
    const std::wstring text = EnvironmentWide(L"VELL_CAMERA_FAULTS");
    if (!ParseCameraFaults(text, &parsed)) Say("ignoring VELL_CAMERA_FAULTS: cannot read it");
    return parsed;
  }();
  return faults;
}

std::atomic<bool> g_watching{false};
std::atomic<bool> g_lost{false};
std::atomic<ULONGLONG> g_lost_at{0};

}  // namespace

bool ParseCameraFaults(const std::wstring& text, CameraFaults* faults) {
  CameraFaults parsed;
  std::wstringstream items(text);
  for (std::wstring item; std::getline(items, item, L',');) {
    if (ParseMs(item, L"lose-after-ms=", &parsed.lose_after_ms)) continue;
    if (ParseMs(item, L"return-after-ms=", &parsed.return_after_ms)) {
      parsed.returns = true;
      continue;
    }
    if (!item.empty()) return false;
  }
  *faults = parsed;
  return true;
}

void WatchCameraSource(IMFMediaSource* source) {
  const CameraFaults& faults = Faults();
  if (faults.lose_after_ms == 0 || g_watching.exchange(true)) return;
  ComPtr<IMFMediaSource> held(source);
  std::thread([held, faults] {
    Sleep(faults.lose_after_ms);
    g_lost_at = GetTickCount64();
    g_lost = true;
    // As a device source does when its camera is unplugged: an error event, then nothing more.
    held->QueueEvent(MEError, GUID_NULL, MF_E_VIDEO_RECORDING_DEVICE_INVALIDATED, nullptr);
    held->Shutdown();
    Say("camera lost" + std::string(faults.returns ? ", back in " + std::to_string(faults.return_after_ms) + " ms"
                                                   : " for good"));
  }).detach();
}

bool CamerasGone() {
  if (!g_lost) return false;
  const CameraFaults& faults = Faults();
  return !faults.returns || GetTickCount64() - g_lost_at < faults.return_after_ms;
}

}  // namespace VellRecorder::StandIn
