// Owns one window for another process's tests:
//   windowowner LIFETIME_MS STOP_FILE TITLE LEFT TOP RIGHT BOTTOM
// Leaves after LIFETIME_MS, when STOP_FILE exists (an empty name: never), or when its window is closed.
#include <windows.h>
#include <shellapi.h>

#include <cstdlib>

#include "testing/testwindow.h"

int main() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == nullptr || argc != 8) return 2;
  const DWORD lifetime = static_cast<DWORD>(_wtoi(argv[1]));
  const wchar_t* stop_file = argv[2];
  const RECT client{_wtoi(argv[4]), _wtoi(argv[5]), _wtoi(argv[6]), _wtoi(argv[7])};
  VellRecorder::Testing::TestWindow window(argv[3], client);
  if (window.Handle() == nullptr) return 1;
  const ULONGLONG end = GetTickCount64() + lifetime;
  while (GetTickCount64() < end && IsWindow(window.Handle()) &&
         (stop_file[0] == L'\0' || GetFileAttributesW(stop_file) == INVALID_FILE_ATTRIBUTES)) {
    VellRecorder::Testing::PumpMessages(20);
  }
  return 0;
}
