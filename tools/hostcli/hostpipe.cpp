#include "hostpipe.h"

#include "dllinjection.h"

#include <cstdio>
#include <vector>

#include <nlohmann/json.hpp>

#include "ipcmessageparser.h"
#include "utils/textconv.h"

namespace VellHost {
namespace {

// Quotes one argument so that CommandLineToArgvW (and the C runtime) give it back unchanged.
std::wstring QuoteArgument(const std::wstring& arg) {
  std::wstring out = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') backslashes = backslashes * 2 + 1;
    out.append(backslashes, L'\\');
    backslashes = 0;
    out.push_back(c);
  }
  out.append(backslashes * 2, L'\\');
  out.push_back(L'"');
  return out;
}

}  // namespace

HostPipe::HostPipe() : write_event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

HostPipe::~HostPipe() {
  ClosePipe();
  if (reader_.joinable()) reader_.join();
}

bool HostPipe::Start(const std::wstring& daemon, const std::string& secret, const std::wstring& daemon_log,
                     const std::vector<std::wstring>& inject_dlls) {
  pipe_name_ = L"\\\\.\\pipe\\vell-host-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
               std::to_wstring(GetTickCount64());
  pipe_.Reset(CreateNamedPipeW(pipe_name_.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                               PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 65536, 65536, 0, nullptr));
  if (!pipe_.IsValid()) {
    std::fprintf(stderr, "CreateNamedPipeW failed: %lu\n", GetLastError());
    return false;
  }
  const nlohmann::json argument = {
      {"payload", {{"daemonOptions", {{"pipePath", VellRecorder::ToUtf8(pipe_name_)}, {"secret", secret}}}}}};
  return StartDaemon(daemon, VellRecorder::ToWide(argument.dump()), daemon_log, inject_dlls);
}

// The one place the daemon process is created.
bool HostPipe::StartDaemon(const std::wstring& daemon, const std::wstring& argument, const std::wstring& daemon_log,
                           const std::vector<std::wstring>& inject_dlls) {
  std::wstring command_line = QuoteArgument(daemon) + L" " + QuoteArgument(argument);
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  VellRecorder::ScopedHandle log_file;
  if (!daemon_log.empty()) {
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    log_file.Reset(CreateFileW(daemon_log.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!log_file.IsValid()) {
      std::fprintf(stderr, "cannot create daemon log file: %lu\n", GetLastError());
      return false;
    }
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = log_file.Get();
    startup.hStdError = log_file.Get();
  }
  PROCESS_INFORMATION process = {};
  if (!StartProcess(daemon, command_line, true, &startup, inject_dlls, &process)) return false;
  CloseHandle(process.hThread);
  daemon_.Reset(process.hProcess);
  daemon_pid_ = process.dwProcessId;
  return true;
}

bool HostPipe::WaitForConnection(std::chrono::milliseconds timeout,
                                 std::function<void(const Received&)> on_received) {
  on_received_ = std::move(on_received);
  OVERLAPPED ov = {};
  VellRecorder::ScopedHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ov.hEvent = event.Get();
  const BOOL started = ConnectNamedPipe(pipe_.Get(), &ov);
  DWORD ignored = 0;
  if (!started && GetLastError() == ERROR_PIPE_CONNECTED) {
    // Connected before we asked.
  } else if (!started && GetLastError() == ERROR_IO_PENDING) {
    HANDLE waits[2] = {event.Get(), daemon_.Get()};
    if (WaitForMultipleObjects(2, waits, FALSE, static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) {
      CancelIo(pipe_.Get());
      return false;
    }
    if (!GetOverlappedResult(pipe_.Get(), &ov, &ignored, FALSE)) return false;
  } else if (!started) {
    return false;
  }
  reader_ = std::thread([this] { ReadLoop(); });
  return true;
}

void HostPipe::ReadLoop() {
  VellRecorder::FrameReader frames;
  VellRecorder::ScopedHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::vector<char> buffer(65536);
  for (;;) {
    OVERLAPPED ov = {};
    ov.hEvent = event.Get();
    DWORD read = 0;
    if (!ReadFile(pipe_.Get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read, &ov)) {
      if (GetLastError() != ERROR_IO_PENDING || !GetOverlappedResult(pipe_.Get(), &ov, &read, TRUE)) break;
    }
    if (read == 0) continue;
    const auto now = Clock::now();
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::string& frame : frames.Append(buffer.data(), read)) {
      Received message{frame, "", "", now};
      const auto parsed = nlohmann::json::parse(frame, nullptr, false);
      if (parsed.is_object() && parsed.contains("type") && parsed["type"].is_string()) {
        message.type = parsed["type"].get<std::string>();
        if (parsed.contains("payload") && parsed["payload"].is_string()) {
          const auto payload = nlohmann::json::parse(parsed["payload"].get<std::string>(), nullptr, false);
          message.payload = payload.is_discarded() ? parsed["payload"].get<std::string>() : payload.dump();
        }
      }
      if (on_received_) on_received_(message);
      received_.push_back(std::move(message));
    }
    arrived_.notify_all();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  reader_done_ = true;
  arrived_.notify_all();
}

std::optional<Received> HostPipe::Next(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  arrived_.wait_for(lock, timeout, [&] { return !received_.empty() || reader_done_; });
  if (received_.empty()) return std::nullopt;
  Received message = std::move(received_.front());
  received_.pop_front();
  return message;
}

bool HostPipe::WriteBytes(const std::string& bytes) {
  OVERLAPPED ov = {};
  ResetEvent(write_event_.Get());
  ov.hEvent = write_event_.Get();
  DWORD written = 0;
  if (WriteFile(pipe_.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, &ov)) return true;
  if (GetLastError() != ERROR_IO_PENDING) return false;
  // A daemon that stopped reading (hung, or held by a debugger) must not hold the host for ever.
  if (WaitForSingleObject(write_event_.Get(), static_cast<DWORD>(write_timeout_.count())) != WAIT_OBJECT_0) {
    CancelIoEx(pipe_.Get(), &ov);
    GetOverlappedResult(pipe_.Get(), &ov, &written, TRUE);  // ov must outlive the cancelled write
    std::printf("the daemon did not take %zu bytes within %lld ms\n", bytes.size(),
                static_cast<long long>(write_timeout_.count()));
    return false;
  }
  return GetOverlappedResult(pipe_.Get(), &ov, &written, FALSE) && written == bytes.size();
}

bool HostPipe::WriteFrame(const std::string& payload) { return WriteBytes(VellRecorder::EncodeFrame(payload)); }

void HostPipe::ClosePipe() {
  if (!pipe_.IsValid()) return;
  CancelIoEx(pipe_.Get(), nullptr);
  DisconnectNamedPipe(pipe_.Get());
  if (reader_.joinable()) reader_.join();
  pipe_.Reset();
}

void HostPipe::TerminateDaemon() {
  TerminateProcess(daemon_.Get(), 1);
  WaitForSingleObject(daemon_.Get(), 5000);
}

std::optional<DWORD> HostPipe::WaitForDaemonExit(std::chrono::milliseconds timeout) {
  if (WaitForSingleObject(daemon_.Get(), static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) return std::nullopt;
  DWORD status = 0;
  GetExitCodeProcess(daemon_.Get(), &status);
  return status;
}

}  // namespace VellHost
