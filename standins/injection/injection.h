// What the DLLs that a launcher loads into an unmodified program share besides import redirection: arming at
// load, settings from the environment, and saying what they did.
#pragma once

#include <windows.h>

#include <string>

namespace VellRecorder::StandIn {

// The work of DllMain: `arm` runs once, as the DLL is loaded, under the loader lock (so it must only redirect
// imports and read settings; the stand-in installs itself on the program's first call).
BOOL ArmOnLoad(HINSTANCE instance, DWORD reason, void (*arm)());

// One line on the process's standard error, which is the daemon's log when the host CLI keeps one
// ("vell-camera: ...").
void Say(const char* stand_in, const std::string& text);

// The environment variable's value, or "" when it is not set (or longer than a line of settings).
std::string EnvironmentText(const char* name);
std::wstring EnvironmentWide(const wchar_t* name);

}  // namespace VellRecorder::StandIn
