// Prints the DPI the system reports for the primary monitor, the scale factor the display list derives from
// it and a rectangle converted to logical units, so that a test can read them from a process started after
// it changed the desktop DPI. Its manifest (scale_probe.manifest, copied beside it) declares what the
// daemon's does.
#include <windows.h>
#include <shellscalingapi.h>

#include <cstdio>

#include "media_sources/video/displays.h"

int main() {
  using GetDpiFn = HRESULT(WINAPI*)(HMONITOR, MONITOR_DPI_TYPE, UINT*, UINT*);
  UINT dpi_x = 0;
  UINT dpi_y = 0;
  if (HMODULE shcore = LoadLibraryW(L"Shcore")) {
    auto get_dpi = reinterpret_cast<GetDpiFn>(reinterpret_cast<void*>(GetProcAddress(shcore, "GetDpiForMonitor")));
    if (get_dpi != nullptr) {
      get_dpi(MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY), MDT_EFFECTIVE_DPI, &dpi_x, &dpi_y);
    }
  }
  VellRecorder::Displays displays;
  displays.Refresh(false);
  const float scale = displays.GetScaleFactor(L"\\\\.\\DISPLAY1");
  const RECT logical = displays.ToLogicalRect(RECT{150, 300, 1500, 900});
  std::printf("dpi=%u scale=%.3f logical=%ld,%ld,%ld,%ld\n", dpi_x, scale, logical.left, logical.top, logical.right,
              logical.bottom);
  return 0;
}
