// The host application's side of the control channel: the pipe server and the daemon process.
#pragma once

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "utils/scopedhandle.h"

namespace VellHost {

using Clock = std::chrono::steady_clock;

struct Received {
  std::string envelope;  // the frame's text as it came
  std::string type;
  std::string payload;   // the decoded payload's compact JSON, "" when absent
  Clock::time_point at;
};

class HostPipe {
 public:
  HostPipe();
  ~HostPipe();

  // Creates a uniquely named pipe and starts the daemon with the launch argument. daemon_log: file for the
  // daemon's standard output and error, or empty to share ours. inject_dlls: DLLs loaded into the daemon before
  // its main, in order.
  bool Start(const std::wstring& daemon, const std::string& secret, const std::wstring& daemon_log,
             const std::vector<std::wstring>& inject_dlls = {});
  // Starts reading once the daemon connected. on_received runs on the reading thread for every message as
  // it arrives, before the message can be taken with Next.
  bool WaitForConnection(std::chrono::milliseconds timeout, std::function<void(const Received&)> on_received);

  // Each write fails when the daemon has not taken the bytes within the write timeout.
  void SetWriteTimeout(std::chrono::milliseconds timeout) { write_timeout_ = timeout; }
  bool WriteBytes(const std::string& bytes);
  bool WriteFrame(const std::string& payload);

  // The next received message not consumed yet, waiting up to timeout.
  std::optional<Received> Next(std::chrono::milliseconds timeout);

  void ClosePipe();
  // The daemon's exit status, or nothing if it is still running after timeout.
  std::optional<DWORD> WaitForDaemonExit(std::chrono::milliseconds timeout);
  // Ends a daemon that would not leave, so that nothing outlives the run (nor holds its output open).
  void TerminateDaemon();
  DWORD DaemonPid() const { return daemon_pid_; }
  const std::wstring& PipeName() const { return pipe_name_; }

 private:
  // Starts the daemon with the launch argument, its output into daemon_log when given.
  bool StartDaemon(const std::wstring& daemon, const std::wstring& argument, const std::wstring& daemon_log,
                   const std::vector<std::wstring>& inject_dlls);
  void ReadLoop();

  std::wstring pipe_name_;
  VellRecorder::ScopedHandle pipe_;
  VellRecorder::ScopedHandle daemon_;
  DWORD daemon_pid_ = 0;
  VellRecorder::ScopedHandle write_event_;
  std::chrono::milliseconds write_timeout_{10000};
  std::function<void(const Received&)> on_received_;  // set before reader_ starts; called by it only
  std::thread reader_;

  std::mutex mutex_;                 // guards received_ and reader_done_
  std::condition_variable arrived_;
  std::deque<Received> received_;
  bool reader_done_ = false;
};

}  // namespace VellHost
