// The display list: monitors with stable ids, screenshots of them, and per-monitor DPI scale factors.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "screenshothelper.h"

namespace VellRecorder {

// One display as the host application sees it.
struct DisplayInfo {
  std::wstring id;          // decimal display id (displayid.h)
  std::wstring deviceName;  // such as \\.\DISPLAY1
  RECT bounds{};            // desktop coordinates, transposed for monitors turned by 90 or 270 degrees
  std::wstring screenshotPath;  // PNG of the display; empty unless the list was refreshed with screenshots
};

struct MonitorEntry {
  HMONITOR monitor = nullptr;
  RECT bounds{};
  std::wstring deviceName;
  bool isPrimary = false;
};

// Rotation of a display in degrees (0, 90, 180 or 270); 0 when its mode cannot be read.
int GetRotation(const std::wstring& device_name);

// Not synchronised: one thread (the control thread) uses an instance. Every lookup refreshes the lists first,
// so it always sees the current monitor layout.
class Displays {
 public:
  Displays();
  Displays(const Displays&) = delete;
  Displays& operator=(const Displays&) = delete;

  // Rebuilds both lists; with screenshots, every display gets a fresh PNG.
  void Refresh(bool take_screenshots);
  // Refreshes with screenshots and returns the list.
  std::vector<DisplayInfo> GetDisplays();
  // The display with this id, or an entry with every field empty when none has it.
  DisplayInfo FindDisplayById(const std::wstring& id);
  // Bounds of the monitor with this device name; an empty name selects the primary monitor.
  std::optional<RECT> FindMonitorBounds(const std::wstring& display_name);
  // DPI scale of the monitor (1.5 at 144 DPI); 1.0 when it cannot be told.
  float GetScaleFactor(const std::wstring& device_name);
  // The rectangle divided by the scale of the display that wholly contains it; unchanged when none does.
  RECT ToLogicalRect(RECT rect);

 private:
  static BOOL CALLBACK AddMonitor(HMONITOR monitor, HDC dc, LPRECT rect, LPARAM self);

  std::vector<MonitorEntry> monitors_;
  std::vector<DisplayInfo> displays_;
  ScreenshotHelper screenshots_;
};

}  // namespace VellRecorder
