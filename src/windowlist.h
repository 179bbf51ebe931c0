// The window list as the host application receives it ("windows-info"): records that need no Windows API,
// the owner name derived from a title, and the JSON layout.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace VellRecorder {

// One listed window with its bounds already in points.
struct WindowRecord {
  uint64_t number = 0;  // the window handle's value
  std::wstring title;
  std::wstring ownerName;
  uint32_t ownerPid = 0;
  int32_t x = 0;
  int32_t y = 0;
  int32_t width = 0;
  int32_t height = 0;
  bool isOnscreen = true;
  std::wstring screenshotPath;  // empty without a picture
};

// The last piece of the title split at every " - " (left to right, non-overlapping); a text after the last
// separator counts only when it is not empty: "Inbox - Mail" -> "Mail", "Report - " -> "Report".
std::wstring OwnerNameFromTitle(const std::wstring& title);

// Window texts are arbitrary UTF-16: an unpaired surrogate would make the whole text unconvertible to UTF-8.
// Each one becomes U+FFFD; valid pairs and everything else are kept.
std::wstring ReplaceLoneSurrogates(std::wstring_view text);

// {"windowsInfoArrayString": [window objects]} in list order, or {"windowsInfoArrayString": null} for none.
nlohmann::json WindowsInfoPayload(const std::vector<WindowRecord>& windows);

}  // namespace VellRecorder
