#include "injection.h"

namespace VellRecorder::StandIn {

BOOL ArmOnLoad(HINSTANCE instance, DWORD reason, void (*arm)()) {
  if (reason == DLL_PROCESS_ATTACH) {
    DisableThreadLibraryCalls(instance);
    arm();
  }
  return TRUE;
}

void Say(const char* stand_in, const std::string& text) {
  DWORD written = 0;
  const std::string line = std::string(stand_in) + ": " + text + "\n";
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

std::string EnvironmentText(const char* name) {
  char text[1024] = {};
  const DWORD length = GetEnvironmentVariableA(name, text, sizeof(text));
  return length > 0 && length < sizeof(text) ? std::string(text, length) : std::string();
}

std::wstring EnvironmentWide(const wchar_t* name) {
  wchar_t text[1024] = {};
  const DWORD length = GetEnvironmentVariableW(name, text, 1024);
  return length > 0 && length < 1024 ? std::wstring(text, length) : std::wstring();
}

}  // namespace VellRecorder::StandIn
