// Recording settings for a monitor the duplication stand-in turned and placed (StandIn::TurnOutputs): the
// system's primary monitor listed at `monitor` (desktop coordinates) with the given rotation, under its own
// device name, so that the frame finds the stand-in's output by that name.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "media_sources/video/displays.h"
#include "media_sources/video/videorecordingsettings.h"

namespace VellRecorder::Testing {

inline VideoRecordingSettings TurnedMonitorSettings(RECT monitor, int degrees, RECT crop, SIZE output) {
  MONITORINFOEXW info{};
  info.cbSize = sizeof(info);
  const HMONITOR handle = MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY);
  GetMonitorInfoW(handle, &info);
  const std::wstring device = info.szDevice;
  Displays displays([&] { return std::vector<MonitorDescription>{{handle, monitor, device, degrees}}; });
  return VideoRecordingSettings(displays, device, crop, output);
}

}  // namespace VellRecorder::Testing
