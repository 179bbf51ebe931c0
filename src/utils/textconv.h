// Text conversions between the control channel (UTF-8) and the daemon's own texts (UTF-16 on Windows).
#pragma once

#include <string>
#include <string_view>

namespace VellRecorder {

// Invalid UTF-8 bytes become U+FFFD.
std::wstring ToWide(std::string_view utf8);
// Invalid UTF-16 (an unpaired surrogate) yields an empty string, as the system conversion does when asked
// to reject invalid characters; callers never send a half-converted text.
std::string ToUtf8(std::wstring_view wide);

}  // namespace VellRecorder
