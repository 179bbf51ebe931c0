// The control channel: the host application's named pipe, opened as a synchronous client, polled by the
// main thread.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "capturedevices.h"
#include "ipcmessageparser.h"
#include "ipcmessages.h"
#include "media_sources/video/displays.h"
#include "recorder/recorder.h"
#include "utils/scopedhandle.h"
#include "windowmanager.h"

namespace VellRecorder {

class IPCChannel {
 public:
  static constexpr DWORD kMaxReadSize = 5120;
  // Reads per poll at most: a host that keeps writing cannot hold off the replies.
  static constexpr int kMaxReadsPerPoll = 16;
  static constexpr DWORD kPollIntervalMs = 50;

  IPCChannel();
  // Stops a recording still running, so that its last part is complete on disk.
  ~IPCChannel();
  IPCChannel(const IPCChannel&) = delete;
  IPCChannel& operator=(const IPCChannel&) = delete;

  // Opens the pipe and queues the introduction. False when the pipe cannot be opened.
  bool Connect(const std::wstring& pipe_name, const std::wstring& secret);
  // The poll loop. Returns the process exit status: 0 once the host application has gone away (the pipe
  // broke), non-zero after a "recorder-init" that could not be carried out (the host learns of it by the
  // daemon ending).
  int Run();

  // Main thread only.
  // The frames completed by what the pipe holds now (up to kMaxReadsPerPoll reads).
  std::vector<std::string> GetMessagesFromPipe();
  // Writes every queued message, oldest first.
  void WriteQueuedMessages();
  void DelegateMessage(const std::string& frame);

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
  void GetDisplayScreenshots(const nlohmann::json& payload);
  void GetCameraBounds(const nlohmann::json& payload);
  void GetWindows(const nlohmann::json& payload);  // desktopqueries.cpp
  void ChangeActiveWindow(const nlohmann::json& payload);
  void Cancel(const nlohmann::json& payload);
  void RecorderInit(const nlohmann::json& payload);
  void RecorderStart(const nlohmann::json& payload);
  void Pause(const nlohmann::json& payload);
  void Resume(const nlohmann::json& payload);
  void Finish(const nlohmann::json& payload);

  void InitRecording(const nlohmann::json& payload);
  bool HasRecorder(const char* message) const;
  void StopRecording();
  bool ReadOnce(std::vector<std::string>* frames);

  // Owned by the main thread: everything but outgoing_ is touched only by the loop and its handlers.
  // outgoing_ has its own mutex (the send mutex) for producers on other threads (the part reports).
  // Declared first, so destroyed last: the recorder reports its last part into it while it is destroyed.
  OutgoingQueue outgoing_;
  CaptureDevices capture_devices_;  // loaded once when Run starts, never refreshed
  WindowManager window_manager_;
  Displays displays_;
  std::unique_ptr<Recorder> recorder_;
  ScopedHandle pipe_;
  FrameReader reader_;
  bool reads_capped_ = false;  // the last poll stopped at kMaxReadsPerPoll reads, each of which brought bytes
  MessageDispatcher dispatcher_;
  bool host_gone_ = false;
  int exit_status_ = 0;  // non-zero: leave the loop and end with this status
};

}  // namespace VellRecorder
