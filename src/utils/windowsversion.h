// Windows version gates.
#pragma once

#include <windows.h>

namespace VellRecorder {

// VerifyVersionInfoW on major, minor and service-pack-major versions, each "greater or equal".
bool IsWindowsVersionOrGreater(WORD major, WORD minor, WORD service_pack_major);

// The per-user GPU preference exists from Windows 10 on.
inline bool IsWindows10OrGreater() { return IsWindowsVersionOrGreater(10, 0, 0); }

// Per-monitor scale factors and full-content window pictures exist from Windows 8.1 (6.3) on.
inline bool IsWindows81OrGreater() { return IsWindowsVersionOrGreater(6, 3, 0); }

}  // namespace VellRecorder
