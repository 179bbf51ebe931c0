#include "tracehr.h"

namespace VellRecorder {

HRESULT TraceHr(const char* file, int line, HRESULT hr) {
  if (SUCCEEDED(hr)) return hr;
  char text[128];
  if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, static_cast<DWORD>(hr), 0, text, sizeof(text), nullptr) ==
      0) {
    lstrcpynA(text, "<unknown>", sizeof(text));
  }
  // wsprintfA writes at most 1024 characters.
  char line_text[1025];
  wsprintfA(line_text, "%s(%d) : error 0x%x: %s\n", file, line, static_cast<unsigned>(hr), text);
  if (Log::IsEnabled(Log::Severity::kDebug)) {
    Log::Write(Log::Severity::kDebug, "VellRecorder::TraceHr", __LINE__, line_text);
  }
  return hr;
}

void LogWinErr(const char* message) {
  const DWORD error = GetLastError();
  if (Log::IsEnabled(Log::Severity::kError)) {
    Log::Write(Log::Severity::kError, "VellRecorder::LogWinErr", __LINE__,
               std::string(message) + " : " + std::to_string(error) + "\n");
  }
}

std::string HrText(HRESULT hr) { return std::system_category().message(static_cast<int>(hr)); }

std::string HrTextWithCode(HRESULT hr) {
  char code[16];
  wsprintfA(code, "0x%08lX", static_cast<unsigned long>(hr));
  return HrText(hr) + " (" + code + ")";
}

HRESULT TraceFailure(const char* pretty_function, const char* file, int line, HRESULT hr) {
  if (Log::IsEnabled(Log::Severity::kDebug)) {
    Log::Write(Log::Severity::kDebug, Log::QualifiedFunctionName(pretty_function), line, "HRERROR: " + HrText(hr));
  }
  return TraceHr(file, line, hr);
}

}  // namespace VellRecorder
