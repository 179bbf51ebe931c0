#include "ipcchannel.h"

#include <chrono>
#include <thread>

#include "utils/log.h"
#include "utils/textconv.h"
#include "winsystem.h"

namespace VellRecorder {

using nlohmann::json;

IPCChannel::IPCChannel() { RegisterHandlers(); }

IPCChannel::~IPCChannel() { StopRecording(); }

void IPCChannel::RegisterHandlers() {
  // Tested in this order; camera queries join as they are built.
  dispatcher_.Register(L"change-active-window", [this](const json& p) { ChangeActiveWindow(p); });
  dispatcher_.Register(L"check-camera-permissions", [this](const json& p) { CheckCameraPermissions(p); });
  dispatcher_.Register(L"check-mic-permissions", [this](const json& p) { CheckMicPermissions(p); });
  dispatcher_.Register(L"check-all-permissions", [this](const json& p) { CheckAllPermissions(p); });
  dispatcher_.Register(L"get-display-screenshots", [this](const json& p) { GetDisplayScreenshots(p); });
  dispatcher_.Register(L"get-windows", [this](const json& p) { GetWindows(p); });
  dispatcher_.Register(L"cancel", [this](const json& p) { Cancel(p); });
  dispatcher_.Register(L"recorder-init", [this](const json& p) { RecorderInit(p); });
  dispatcher_.Register(L"recorder-start", [this](const json& p) { RecorderStart(p); });
  dispatcher_.Register(L"pause", [this](const json& p) { Pause(p); });
  dispatcher_.Register(L"resume", [this](const json& p) { Resume(p); });
  dispatcher_.Register(L"finish", [this](const json& p) { Finish(p); });
}

bool IPCChannel::Connect(const std::wstring& pipe_name, const std::wstring& secret) {
  pipe_.Reset(CreateFileW(pipe_name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!pipe_.IsValid()) {
    LOG_ERROR << "Failed to open pipe " << pipe_name << " : " << GetLastError();
    return false;
  }
  Queue(L"provide-secret", {{"secret", ToUtf8(secret)}}, {{"secret", "<redacted>"}});
  if (WinSystem::ForcePowerSavingMode() == 1) SendWSMessage(L"pending-restart");
  return true;
}

int IPCChannel::Run() {
  // Prepared once, so that the first display query and recording find the list ready.
  displays_.Refresh(true);
  while (!host_gone_ && exit_status_ == 0) {
    WriteNextMessage();
    for (const std::string& frame : GetMessagesFromPipe()) {
      DelegateMessage(frame);
      if (exit_status_ != 0) break;
    }
    if (host_gone_ || exit_status_ != 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollIntervalMs));
  }
  if (host_gone_) {
    StopRecording();
    LOG_WARNING << "host application went away; " << outgoing_.Size() << " queued messages not sent";
    return 0;
  }
  FlushOutgoing();
  return exit_status_;
}

void IPCChannel::FlushOutgoing() {
  while (!host_gone_ && outgoing_.Size() > 0) WriteNextMessage();
}

std::vector<std::string> IPCChannel::GetMessagesFromPipe() {
  char buffer[kMaxReadSize];
  DWORD peeked = 0;
  DWORD available = 0;
  DWORD left_in_message = 0;
  if (!PeekNamedPipe(pipe_.Get(), buffer, kMaxReadSize, &peeked, &available, &left_in_message)) {
    NoteHostGone("PeekNamedPipe", GetLastError());
    return {};
  }
  if (peeked == 0) return {};
  DWORD read = 0;
  if (!ReadFile(pipe_.Get(), buffer, kMaxReadSize, &read, nullptr)) {
    const DWORD error = GetLastError();
    // In message-read mode the rest of a long message follows in the next read; the reader keeps both.
    if (error != ERROR_MORE_DATA) {
      NoteHostGone("ReadFile", error);
      return {};
    }
  }
  return reader_.Append(buffer, read);
}

void IPCChannel::WriteNextMessage() {
  DWORD failed_error = ERROR_SUCCESS;
  outgoing_.WriteOldest([&](const std::string& message) {
    const auto length = static_cast<uint32_t>(message.size());
    const auto header = FrameHeader(length);
    DWORD written = 0;
    if (!WriteFile(pipe_.Get(), header.data(), static_cast<DWORD>(header.size()), &written, nullptr) ||
        !WriteFile(pipe_.Get(), message.data(), length, &written, nullptr)) {
      failed_error = GetLastError();
    }
  });
  if (failed_error != ERROR_SUCCESS) NoteHostGone("WriteFile", failed_error);
}

void IPCChannel::NoteHostGone(const char* operation, DWORD error) {
  if (error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA || error == ERROR_PIPE_NOT_CONNECTED ||
      error == ERROR_INVALID_HANDLE) {
    if (!host_gone_) LOG_WARNING << operation << " failed with " << error << ": the pipe is closed";
    host_gone_ = true;
    return;
  }
  LOG_ERROR << operation << " on the pipe failed: " << error;
}

void IPCChannel::DelegateMessage(const std::string& frame) { dispatcher_.Dispatch(frame); }

void IPCChannel::SendWSMessage(const std::wstring& type) {
  LOG_WARNING << "sending message " << type;
  SendWSMessage(type, json());
}

void IPCChannel::SendWSMessage(const std::wstring& type, const json& payload) { Queue(type, payload, payload); }

void IPCChannel::Queue(const std::wstring& type, const json& payload, const json& logged_payload) {
  LOG_WARNING << "sending message " << type << " payload: "
              << logged_payload.dump(-1, ' ', false, json::error_handler_t::replace);
  outgoing_.Push(EncodeEnvelope(type, payload));
}

void IPCChannel::CheckCameraPermissions(const json&) {
  SendWSMessage(L"check-camera-permissions", GrantedPermission());
}

void IPCChannel::CheckMicPermissions(const json&) { SendWSMessage(L"check-mic-permissions", GrantedPermission()); }

void IPCChannel::CheckAllPermissions(const json&) {
  SendWSMessage(L"check-all-permissions", AllPermissionsGranted());
}

}  // namespace VellRecorder
