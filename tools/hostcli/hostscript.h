// Runs the host CLI's directives (hostdirectives.h) against the daemon over the pipe.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "hostdirectives.h"
#include "hostpipe.h"

namespace VellHost {

struct ScriptOptions {
  std::chrono::milliseconds timeout{10000};
  std::wstring daemon_log;
  bool raw = false;  // print envelopes as received instead of decoded payloads
};

class ScriptRunner {
 public:
  ScriptRunner(HostPipe& pipe, ScriptOptions options, Clock::time_point start)
      : pipe_(pipe), options_(std::move(options)), start_(start) {}

  // Returns false at the first directive that fails (after printing why).
  bool Run(const std::vector<Directive>& directives);
  void Print(const Received& message) const;
  double Elapsed() const;

 private:
  bool RunDirective(const Directive& directive);
  bool Send(const std::string& text);
  bool Expect(const std::string& type, const std::string& payload);
  bool ExpectRaw(const std::string& envelope);
  bool WaitFor(const std::string& type);
  bool ExpectLog(const std::string& text, bool present) const;
  bool ExpectExit(long long status, long long limit_ms);
  bool SendSplit(size_t split, const std::string& text);
  void Terminate();

  HostPipe& pipe_;
  ScriptOptions options_;
  Clock::time_point start_;
  Clock::time_point closed_at_{};
};

}  // namespace VellHost
