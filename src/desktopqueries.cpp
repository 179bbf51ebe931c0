// The control channel's window queries: "get-windows" and "change-active-window".
#include "ipcchannel.h"
#include "utils/textconv.h"
#include "windowlist.h"

namespace VellRecorder {

using nlohmann::json;

void IPCChannel::GetWindows(const json& payload) {
  const bool take_screenshots = RequireBool(payload, "takeScreenshots");
  std::vector<WindowRecord> records;
  // Pictures of many windows take a while, a window that does not answer up to its deadline: the part reports
  // queued meanwhile are written between windows rather than after the list.
  const auto windows = window_manager_.ListWindows(take_screenshots, [this] { WriteQueuedMessages(); });
  for (const WindowInfo& info : windows) {
    // The host application works in points: the rectangle is divided by its display's scale factor.
    const RECT points = displays_.ToLogicalRect(info.bounds);
    WindowRecord record;
    record.number = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(info.window));
    record.title = info.title;
    record.ownerName = info.ownerName;
    record.ownerPid = info.ownerPid;
    record.x = points.left;
    record.y = points.top;
    record.width = points.right - points.left;
    record.height = points.bottom - points.top;
    record.isOnscreen = info.isOnscreen;
    record.screenshotPath = info.screenshotPath;
    records.push_back(std::move(record));
  }
  SendWSMessage(L"windows-info", WindowsInfoPayload(records));
}

void IPCChannel::ChangeActiveWindow(const json& payload) {
  window_manager_.SetActiveWindow(ToWide(RequireString(payload, "kCGWindowName")));
  // Answered whatever the outcome: the host application has no use for a failure here.
  SendWSMessage(L"change-active-window", {{"success", true}});
}

}  // namespace VellRecorder
