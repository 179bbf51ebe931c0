// Starting a program with a DLL of ours loaded into it before its main (tests give the daemon stand-ins of
// system components that way, without changing the daemon).
#pragma once

#include <windows.h>

#include <string>

namespace VellHost {

// CreateProcessW(application, command_line, inherit_handles, startup) as given; when `dll` is not empty, the
// process is created suspended, `dll` is loaded into it by a remote thread, and only then does its main thread
// run. False (with the reason on standard error, the process ended) when any step fails.
bool StartProcess(const std::wstring& application, std::wstring& command_line, bool inherit_handles,
                  STARTUPINFOW* startup, const std::wstring& dll, PROCESS_INFORMATION* process);

}  // namespace VellHost
