#include "ipcchannel.h"

#include <chrono>
#include <thread>
#include <utility>

#include "utils/log.h"
#include "utils/textconv.h"
#include "winsystem.h"

namespace VellRecorder {

using nlohmann::json;

IPCChannel::IPCChannel() { RegisterHandlers(); }

IPCChannel::~IPCChannel() { StopRecording(); }

void IPCChannel::RegisterHandlers() {
  using Handler = void (IPCChannel::*)(const json&);
  // Tested in this order; camera queries join as they are built.
  const std::pair<const wchar_t*, Handler> handlers[] = {
      {L"change-active-window", &IPCChannel::ChangeActiveWindow},
      {L"check-camera-permissions", &IPCChannel::CheckCameraPermissions},
      {L"check-mic-permissions", &IPCChannel::CheckMicPermissions},
      {L"check-all-permissions", &IPCChannel::CheckAllPermissions},
      {L"get-display-screenshots", &IPCChannel::GetDisplayScreenshots},
      {L"get-camera-bounds", &IPCChannel::GetCameraBounds},
      {L"get-windows", &IPCChannel::GetWindows},
      {L"cancel", &IPCChannel::Cancel},
      {L"recorder-init", &IPCChannel::RecorderInit},
      {L"recorder-start", &IPCChannel::RecorderStart},
      {L"pause", &IPCChannel::Pause},
      {L"resume", &IPCChannel::Resume},
      {L"finish", &IPCChannel::Finish},
  };
  for (const auto& [type, handler] : handlers) {
    dispatcher_.Register(type, [this, handler = handler](const json& payload) { (this->*handler)(payload); });
  }
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
  capture_devices_.LoadDevices();
  displays_.Refresh(true);
  // Read and answer, then write: a request that arrived during the sleep is answered in this same poll.
  while (!host_gone_ && exit_status_ == 0) {
    for (const std::string& frame : GetMessagesFromPipe()) {
      DelegateMessage(frame);
      if (exit_status_ != 0) break;
    }
    reader_.DropStalled(reads_capped_);
    WriteQueuedMessages();
    if (host_gone_ || exit_status_ != 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollIntervalMs));
  }
  if (host_gone_) {
    StopRecording();
    LOG_WARNING << "host application went away; " << outgoing_.Size() << " queued messages not sent";
    return 0;
  }
  WriteQueuedMessages();
  return exit_status_;
}

std::vector<std::string> IPCChannel::GetMessagesFromPipe() {
  std::vector<std::string> frames;
  int reads = 0;
  while (reads < kMaxReadsPerPoll && ReadOnce(&frames)) ++reads;
  // Every read brought bytes: more may wait, held back by the daemon rather than by the host.
  reads_capped_ = reads == kMaxReadsPerPoll;
  return frames;
}

// One read of what is pending; false when nothing was.
bool IPCChannel::ReadOnce(std::vector<std::string>* frames) {
  char buffer[kMaxReadSize];
  DWORD peeked = 0;
  DWORD available = 0;
  DWORD left_in_message = 0;
  if (!PeekNamedPipe(pipe_.Get(), buffer, kMaxReadSize, &peeked, &available, &left_in_message)) {
    NoteHostGone("PeekNamedPipe", GetLastError());
    return false;
  }
  if (peeked == 0) return false;
  DWORD read = 0;
  if (!ReadFile(pipe_.Get(), buffer, kMaxReadSize, &read, nullptr)) {
    const DWORD error = GetLastError();
    // In message-read mode the rest of a long message follows in the next read; the reader keeps both.
    if (error != ERROR_MORE_DATA) {
      NoteHostGone("ReadFile", error);
      return false;
    }
  }
  for (std::string& frame : reader_.Append(buffer, read)) frames->push_back(std::move(frame));
  return read > 0;
}

void IPCChannel::WriteQueuedMessages() {
  outgoing_.WriteAll([&](const std::string& message) {
    // One write per frame: fewer calls, and the length field never goes out without its payload.
    const std::string frame = EncodeFrame(message);
    DWORD written = 0;
    if (WriteFile(pipe_.Get(), frame.data(), static_cast<DWORD>(frame.size()), &written, nullptr)) return true;
    NoteHostGone("WriteFile", GetLastError());
    return !host_gone_;  // any other failure loses this message only
  });
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
              << LoggedExcerpt(logged_payload.dump(-1, ' ', false, json::error_handler_t::replace));
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
