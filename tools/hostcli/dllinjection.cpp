#include "dllinjection.h"

#include <cstdio>

#include "utils/scopedhandle.h"

namespace VellHost {
namespace {

constexpr DWORD kLoadTimeoutMs = 30000;

// LoadLibraryW(dll) in `process` on a thread of its own, waited for. kernel32 lies at the same address in
// every process of a session, so our LoadLibraryW is also the target's.
bool LoadInto(HANDLE process, const std::wstring& dll) {
  const SIZE_T bytes = (dll.size() + 1) * sizeof(wchar_t);
  void* remote = VirtualAllocEx(process, nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  if (remote == nullptr) {
    std::fprintf(stderr, "VirtualAllocEx failed: %lu\n", GetLastError());
    return false;
  }
  bool loaded = false;
  if (!WriteProcessMemory(process, remote, dll.c_str(), bytes, nullptr)) {
    std::fprintf(stderr, "WriteProcessMemory failed: %lu\n", GetLastError());
  } else {
    auto* load_library = reinterpret_cast<LPTHREAD_START_ROUTINE>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "LoadLibraryW")));
    VellRecorder::ScopedHandle thread(CreateRemoteThread(process, nullptr, 0, load_library, remote, 0, nullptr));
    DWORD module = 0;  // the low half of the module handle: zero when the load failed
    if (!thread.IsValid()) {
      std::fprintf(stderr, "CreateRemoteThread failed: %lu\n", GetLastError());
    } else if (WaitForSingleObject(thread.Get(), kLoadTimeoutMs) != WAIT_OBJECT_0) {
      std::fprintf(stderr, "loading the DLL did not finish within %lu ms\n", kLoadTimeoutMs);
    } else if (!GetExitCodeThread(thread.Get(), &module) || module == 0) {
      std::fprintf(stderr, "the DLL could not be loaded into the process\n");
    } else {
      loaded = true;
    }
  }
  VirtualFreeEx(process, remote, 0, MEM_RELEASE);
  return loaded;
}

}  // namespace

bool StartProcess(const std::wstring& application, std::wstring& command_line, bool inherit_handles,
                  STARTUPINFOW* startup, const std::vector<std::wstring>& dlls, PROCESS_INFORMATION* process) {
  const DWORD flags = dlls.empty() ? 0 : CREATE_SUSPENDED;
  if (!CreateProcessW(application.c_str(), command_line.data(), nullptr, nullptr, inherit_handles, flags, nullptr,
                      nullptr, startup, process)) {
    std::fprintf(stderr, "cannot start the process: %lu\n", GetLastError());
    return false;
  }
  if (dlls.empty()) return true;
  bool loaded = true;
  for (const std::wstring& dll : dlls) loaded = loaded && LoadInto(process->hProcess, dll);
  if (!loaded || ResumeThread(process->hThread) == static_cast<DWORD>(-1)) {
    TerminateProcess(process->hProcess, 1);
    CloseHandle(process->hThread);
    CloseHandle(process->hProcess);
    *process = {};
    return false;
  }
  return true;
}

}  // namespace VellHost
