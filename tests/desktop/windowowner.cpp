// Owns one window for another process's tests: windowowner LIFETIME_MS TITLE LEFT TOP RIGHT BOTTOM.
// Leaves after LIFETIME_MS, or earlier when its window is closed.
#include <windows.h>
#include <shellapi.h>

#include <cstdlib>

#include "desktop/testwindow.h"

int main() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == nullptr || argc != 7) return 2;
  const DWORD lifetime = static_cast<DWORD>(_wtoi(argv[1]));
  const RECT client{_wtoi(argv[3]), _wtoi(argv[4]), _wtoi(argv[5]), _wtoi(argv[6])};
  VellRecorder::Testing::TestWindow window(argv[2], client);
  if (window.Handle() == nullptr) return 1;
  const ULONGLONG end = GetTickCount64() + lifetime;
  while (GetTickCount64() < end && IsWindow(window.Handle())) VellRecorder::Testing::PumpMessages(20);
  return 0;
}
