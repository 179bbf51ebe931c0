// Starting a program with a DLL of ours loaded into it before its main (tests give the daemon stand-ins of
// system components that way, without changing the daemon).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace VellHost {

// CreateProcessW(application, command_line, inherit_handles, startup) as given; when `dlls` is not empty, the
// process is created suspended, each DLL is loaded into it in turn by a remote thread, and only then does its
// main thread run. False (with the reason on standard error, the process ended) when any step fails.
bool StartProcess(const std::wstring& application, std::wstring& command_line, bool inherit_handles,
                  STARTUPINFOW* startup, const std::vector<std::wstring>& dlls, PROCESS_INFORMATION* process);

}  // namespace VellHost
