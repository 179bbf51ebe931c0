// The host CLI's script: one directive per line, run in order; the first failed expectation ends the run.
//
//   {"type": "check-mic-permissions"}        send this JSON as one frame (also: send {...})
//   send-text TEXT                          send a frame whose payload is TEXT (need not be JSON)
//   send-bytes HEX                          write raw bytes, no framing (e.g. "send-bytes 030000")
//   send-split N {...}                      send one frame in two writes, split after N bytes, 150 ms apart
//   expect TYPE [PAYLOAD-JSON]              the next message is of TYPE (and has that payload)
//   expect-raw ENVELOPE                     the next message is exactly ENVELOPE, byte for byte
//   wait-for TYPE                           skip messages until one of TYPE arrives
//   expect-quiet MS                         no message arrives within MS milliseconds
//   expect-log TEXT / expect-no-log TEXT    the daemon log (--daemon-log) does / does not contain TEXT
//   sleep MS
//   close-pipe                              the host closes its end of the pipe
//   expect-exit STATUS within MS            the daemon exits with STATUS within MS ms
//   terminate                               the host ends itself at once, as a crashing host would
// Blank lines and lines starting with '#' are skipped. Waits time out after --timeout-ms.
#pragma once

#include <chrono>
#include <string>
#include <vector>

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
  bool Run(const std::vector<std::string>& lines);
  void Print(const Received& message) const;
  double Elapsed() const;

 private:
  bool RunLine(const std::string& line);
  bool Expect(const std::string& type, const std::string& payload);
  bool ExpectRaw(const std::string& envelope);
  bool WaitFor(const std::string& type);
  bool ExpectQuiet(int ms);
  bool ExpectLog(const std::string& text, bool present) const;
  bool ExpectExit(const std::string& args);
  bool SendSplit(const std::string& args);

  HostPipe& pipe_;
  ScriptOptions options_;
  Clock::time_point start_;
  Clock::time_point closed_at_{};
};

}  // namespace VellHost
