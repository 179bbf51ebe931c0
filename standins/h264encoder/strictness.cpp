#include "strictness.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <sstream>

namespace VellStandin {

bool ParseStrictness(const std::wstring& text, bool asynchronous, Strictness* strictness) {
  Strictness parsed;
  parsed.hold = asynchronous ? 2 : 0;
  std::wstringstream items(text);
  for (std::wstring item; std::getline(items, item, L',');) {
    if (item.rfind(L"hold=", 0) == 0) {
      wchar_t* end = nullptr;
      const long hold = std::wcstol(item.c_str() + 5, &end, 10);
      if (*end != L'\0' || item.size() == 5 || hold < 0 || hold > 64) return false;
      parsed.hold = static_cast<size_t>(hold);
    } else if (item.rfind(L"gop=", 0) == 0) {
      wchar_t* end = nullptr;
      const unsigned long gop = std::wcstoul(item.c_str() + 4, &end, 10);
      if (*end != L'\0' || item.size() == 4) return false;
      parsed.gop = static_cast<uint32_t>(gop);
    } else if (item == L"sps-out-of-band") {
      parsed.sps_out_of_band = true;
    } else if (item == L"ignore-keyframe-requests") {
      parsed.ignore_keyframe_requests = true;
    } else if (item == L"lenient") {
      parsed = Strictness{};
    } else if (!item.empty()) {
      return false;
    }
  }
  *strictness = parsed;
  return true;
}

Strictness StrictnessFromEnvironment(bool asynchronous) {
  wchar_t text[256] = {};
  const DWORD length = GetEnvironmentVariableW(L"VELL_H264_STANDIN_STRICT", text, 256);
  Strictness strictness;
  if (length < 256 && ParseStrictness(std::wstring(text, length), asynchronous, &strictness)) return strictness;
  std::fprintf(stderr, "vell-h264-standin: ignoring VELL_H264_STANDIN_STRICT=%ls\n", text);
  ParseStrictness(L"", asynchronous, &strictness);
  return strictness;
}

}  // namespace VellStandin
