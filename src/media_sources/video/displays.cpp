#include "media_sources/video/displays.h"

#include "d3d/optionalfunctions.h"
#include "media_sources/video/displayid.h"
#include "media_sources/video/rectconv.h"
#include "utils/windowsversion.h"
#include "tracehr.h"

namespace VellRecorder {
namespace {

constexpr float kDefaultDpi = 96.0f;

// dmDisplayOrientation of the current mode; a mode that cannot be read counts as not turned.
DWORD CurrentOrientation(const std::wstring& device_name) {
  DEVMODEW mode = {};
  mode.dmSize = sizeof(mode);
  mode.dmFields = DM_DISPLAYORIENTATION;
  EnumDisplaySettingsExW(device_name.c_str(), ENUM_CURRENT_SETTINGS, &mode, EDS_ROTATEDMODE);
  return mode.dmDisplayOrientation;
}

}  // namespace

int GetRotation(const std::wstring& device_name) { return RotationDegrees(CurrentOrientation(device_name)); }

namespace {

BOOL CALLBACK AddMonitor(HMONITOR monitor, HDC, LPRECT rect, LPARAM list) {
  MONITORINFOEXW info = {};
  info.cbSize = sizeof(info);
  if (!GetMonitorInfoW(monitor, &info)) {
    LogWinErr("Failed to get monitor info");
    return FALSE;
  }
  MonitorDescription description;
  description.monitor = monitor;
  description.desktopRect = *rect;
  description.deviceName = info.szDevice;
  description.rotation = GetRotation(description.deviceName);
  reinterpret_cast<std::vector<MonitorDescription>*>(list)->push_back(std::move(description));
  return TRUE;
}

}  // namespace

std::vector<MonitorDescription> ListSystemMonitors() {
  std::vector<MonitorDescription> monitors;
  EnumDisplayMonitors(nullptr, nullptr, &AddMonitor, reinterpret_cast<LPARAM>(&monitors));
  return monitors;
}

Displays::Displays() : Displays(&ListSystemMonitors) {}

Displays::Displays(MonitorLister lister) : lister_(std::move(lister)) { screenshots_.Initialize(); }

void Displays::Refresh(bool take_screenshots) {
  monitors_.clear();
  displays_.clear();
  for (const MonitorDescription& description : lister_()) {
    MonitorEntry entry;
    entry.monitor = description.monitor;
    entry.deviceName = description.deviceName;
    entry.desktopBounds = description.desktopRect;
    const DisplayRect bounds = TransposeForRotation(ToDisplayRect(description.desktopRect), description.rotation);
    entry.bounds = ToRect(bounds);
    entry.isPrimary = IsPrimaryBounds(bounds);
    monitors_.push_back(std::move(entry));
  }
  for (const MonitorEntry& monitor : monitors_) {
    DisplayInfo info;
    info.id = DisplayIdText(monitor.deviceName);
    info.deviceName = monitor.deviceName;
    info.bounds = monitor.bounds;
    info.desktopBounds = monitor.desktopBounds;
    // The picture is read by GDI, from the desktop as laid out.
    if (take_screenshots) info.screenshotPath = screenshots_.TakeScreenshot(info.id, nullptr, monitor.desktopBounds);
    displays_.push_back(std::move(info));
  }
}

std::vector<DisplayInfo> Displays::GetDisplays() {
  Refresh(true);
  return displays_;
}

DisplayInfo Displays::FindDisplayById(const std::wstring& id) {
  Refresh(false);
  for (const DisplayInfo& display : displays_) {
    if (display.id == id) return display;
  }
  return DisplayInfo{};
}

std::optional<RECT> Displays::FindMonitorBounds(const std::wstring& display_name) {
  Refresh(false);
  for (const MonitorEntry& monitor : monitors_) {
    if (display_name.empty() ? monitor.isPrimary : monitor.deviceName == display_name) {
      return monitor.desktopBounds;
    }
  }
  return std::nullopt;
}

float Displays::GetScaleFactor(const std::wstring& device_name) {
  if (!IsWindows81OrGreater()) return 1.0f;
  for (const MonitorEntry& monitor : monitors_) {
    if (monitor.deviceName != device_name) continue;
    UINT dpi_x = 0;
    UINT dpi_y = 0;
    const HRESULT hr = OptionalFunctions::Get().GetDpiForMonitor(monitor.monitor, MDT_EFFECTIVE_DPI, &dpi_x, &dpi_y);
    // A zero DPI would turn every later division by the scale into infinity.
    if (hr != S_OK || dpi_x == 0) return 1.0f;
    return static_cast<float>(dpi_x) / kDefaultDpi;
  }
  return 1.0f;
}

RECT Displays::ToLogicalRect(RECT rect) {
  Refresh(false);
  const DisplayRect wanted = ToDisplayRect(rect);
  for (const DisplayInfo& display : displays_) {
    if (ContainsRect(ToDisplayRect(display.desktopBounds), wanted)) {
      return ToRect(ScaleToLogical(wanted, GetScaleFactor(display.deviceName)));
    }
  }
  return rect;
}

}  // namespace VellRecorder
