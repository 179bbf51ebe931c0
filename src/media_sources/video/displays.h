// The display list: monitors with stable ids, screenshots of them, and per-monitor DPI scale factors.
#pragma once

#include <windows.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "screenshothelper.h"

namespace VellRecorder {

// A monitor turned by 90 or 270 degrees has two rectangles. The desktop (GDI, windows, the cursor) is laid out
// turned: a portrait monitor covers {0, 0, 1080, 1920}, and that is where GDI reads its pixels. Desktop
// duplication hands out the monitor's picture unturned, 1920 x 1080, so its textures are addressed with the
// transposed rectangle.

// One display as the host application sees it.
struct DisplayInfo {
  std::wstring id;          // decimal display id (displayid.h)
  std::wstring deviceName;  // such as \\.\DISPLAY1
  RECT bounds{};            // desktop coordinates, transposed for monitors turned by 90 or 270 degrees
  RECT desktopBounds{};     // desktop coordinates as laid out, turned
  std::wstring screenshotPath;  // PNG of the display; empty unless the list was refreshed with screenshots
};

struct MonitorEntry {
  HMONITOR monitor = nullptr;
  RECT bounds{};         // as DisplayInfo::bounds
  RECT desktopBounds{};  // as DisplayInfo::desktopBounds
  std::wstring deviceName;
  bool isPrimary = false;
};

// One monitor as the system reports it: its rectangle in desktop coordinates and its rotation in degrees.
struct MonitorDescription {
  HMONITOR monitor = nullptr;
  RECT desktopRect{};
  std::wstring deviceName;
  int rotation = 0;
};
// Lists the monitors; the default asks the system (EnumDisplayMonitors).
using MonitorLister = std::function<std::vector<MonitorDescription>()>;
std::vector<MonitorDescription> ListSystemMonitors();

// Rotation of a display in degrees (0, 90, 180 or 270); 0 when its mode cannot be read.
int GetRotation(const std::wstring& device_name);

// Not synchronised: one thread (the control thread) uses an instance. Every lookup refreshes the lists first,
// so it always sees the current monitor layout.
class Displays {
 public:
  Displays();
  explicit Displays(MonitorLister lister);
  Displays(const Displays&) = delete;
  Displays& operator=(const Displays&) = delete;

  // Rebuilds both lists; with screenshots, every display gets a fresh PNG.
  void Refresh(bool take_screenshots);
  // Refreshes with screenshots and returns the list.
  std::vector<DisplayInfo> GetDisplays();
  // The display with this id, or an entry with every field empty when none has it.
  DisplayInfo FindDisplayById(const std::wstring& id);
  // Desktop bounds (as laid out, turned) of the monitor with this device name: the rectangle GDI captures.
  // An empty name selects the primary monitor.
  std::optional<RECT> FindMonitorBounds(const std::wstring& display_name);
  // DPI scale of the monitor (1.5 at 144 DPI); 1.0 when it cannot be told.
  float GetScaleFactor(const std::wstring& device_name);
  // The rectangle (desktop coordinates) divided by the scale of the display that wholly contains it;
  // unchanged when none does.
  RECT ToLogicalRect(RECT rect);

 private:
  MonitorLister lister_;
  std::vector<MonitorEntry> monitors_;
  std::vector<DisplayInfo> displays_;
  ScreenshotHelper screenshots_;
};

}  // namespace VellRecorder
