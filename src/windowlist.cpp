#include "windowlist.h"

#include "utils/textconv.h"

namespace VellRecorder {

using nlohmann::json;

namespace {

constexpr wchar_t kOwnerSeparator[] = L" - ";
constexpr size_t kOwnerSeparatorLength = 3;

bool IsHighSurrogate(wchar_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(wchar_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// The text as the host sees it: valid UTF-8 whatever the window holds.
std::string HostText(const std::wstring& text) { return ToUtf8(ReplaceLoneSurrogates(text)); }

}  // namespace

std::wstring OwnerNameFromTitle(const std::wstring& title) {
  std::wstring last;
  size_t start = 0;
  for (size_t at = title.find(kOwnerSeparator); at != std::wstring::npos;
       at = title.find(kOwnerSeparator, start)) {
    last = title.substr(start, at - start);
    start = at + kOwnerSeparatorLength;
  }
  if (start < title.size()) last = title.substr(start);
  return last;
}

std::wstring ReplaceLoneSurrogates(std::wstring_view text) {
  std::wstring out(text);
  for (size_t i = 0; i < out.size(); ++i) {
    if (IsHighSurrogate(out[i]) && i + 1 < out.size() && IsLowSurrogate(out[i + 1])) {
      ++i;  // a pair: keep both halves
    } else if (IsHighSurrogate(out[i]) || IsLowSurrogate(out[i])) {
      out[i] = 0xFFFD;
    }
  }
  return out;
}

json WindowsInfoPayload(const std::vector<WindowRecord>& windows) {
  json list;  // null when no window qualifies
  for (const WindowRecord& w : windows) {
    list.push_back({
        {"kCGWindowBounds", {{"Height", w.height}, {"Width", w.width}, {"X", w.x}, {"Y", w.y}}},
        {"kCGWindowOwnerName", HostText(w.ownerName)},
        {"kCGWindowName", HostText(w.title)},
        {"kCGWindowIsOnscreen", w.isOnscreen},
        {"kCGWindowMemoryUsage", 0},
        {"kCGWindowSharingState", 1},
        {"screenshotPath", HostText(w.screenshotPath)},
        {"kCGWindowAlpha", 1},
        {"kCGWindowLayer", 0},
        {"kCGWindowOwnerPID", w.ownerPid},
        {"kCGWindowStoreType", 1},
        {"kCGWindowNumber", w.number},
    });
  }
  return {{"windowsInfoArrayString", list}};
}

}  // namespace VellRecorder
