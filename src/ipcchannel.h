// The control channel: the host application's named pipe, opened as a synchronous client, polled by the
// main thread.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "ipcmessageparser.h"
#include "ipcmessages.h"
#include "utils/scopedhandle.h"

namespace VellRecorder {

class IPCChannel {
 public:
  static constexpr DWORD kMaxReadSize = 5120;
  static constexpr DWORD kPollIntervalMs = 50;

  IPCChannel();
  IPCChannel(const IPCChannel&) = delete;
  IPCChannel& operator=(const IPCChannel&) = delete;

  // Opens the pipe and queues the introduction. False when the pipe cannot be opened.
  bool Connect(const std::wstring& pipe_name, const std::wstring& secret);
  // The poll loop. Returns once the host application has gone away (the pipe broke).
  void Run();

  // Main thread only.
  std::vector<std::string> GetMessagesFromPipe();
  void WriteNextMessage();
  void DelegateMessage(const std::string& frame);
  bool HostGone() const { return host_gone_; }

  // Any thread.
  void SendWSMessage(const std::wstring& type);
  void SendWSMessage(const std::wstring& type, const nlohmann::json& payload);

 private:
  void RegisterHandlers();
  void Queue(const std::wstring& type, const nlohmann::json& payload, const nlohmann::json& logged_payload);
  void NoteHostGone(const char* operation, DWORD error);

  void CheckCameraPermissions(const nlohmann::json& payload);
  void CheckMicPermissions(const nlohmann::json& payload);
  void CheckAllPermissions(const nlohmann::json& payload);

  // Owned by the main thread: the pipe, the frame reader, the dispatcher and host_gone_ are touched
  // only by the loop. outgoing_ has its own mutex (the send mutex) for producers on other threads.
  ScopedHandle pipe_;
  FrameReader reader_;
  OutgoingQueue outgoing_;
  MessageDispatcher dispatcher_;
  bool host_gone_ = false;
};

}  // namespace VellRecorder
