// The host CLI's script language, parsed before anything runs: one directive per line, run in order; the first
// failed expectation ends the run.
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
//   expect-exit STATUS within MS            the daemon is seen to exit with STATUS within MS ms of the pipe
//                                           closing (of this directive without a close-pipe before it)
//   terminate                               the host ends itself at once, as a crashing host would
// Blank lines and lines starting with '#' are skipped. Waits time out after --timeout-ms.
// Needs no Windows API: tested natively.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace VellHost {

enum class DirectiveKind {
  kSend, kSendText, kSendBytes, kSendSplit, kExpect, kExpectRaw, kWaitFor, kExpectQuiet, kExpectLog, kExpectNoLog,
  kSleep, kClosePipe, kExpectExit, kTerminate
};

struct Directive {
  DirectiveKind kind = DirectiveKind::kSend;
  std::string line;     // as written, for messages
  std::string text;     // JSON or text to send, the bytes of send-bytes, a type, an envelope, log text
  std::string payload;  // expect's payload JSON, "" when none
  long long number = 0;  // milliseconds, the split point, or expect-exit's status
  long long limit_ms = 0;  // expect-exit's MS
};

// A whole decimal number within [min, max]; nothing else (no sign on its own, no trailing text).
bool ParseNumber(std::string_view text, long long min, long long max, long long* out);
// One line that is neither blank nor a comment. False, with the reason in *error, for an unknown directive or
// malformed arguments.
bool ParseDirective(const std::string& line, Directive* out, std::string* error);
// Every line; false at the first that does not parse, with the line in *error.
bool ParseScript(const std::vector<std::string>& lines, std::vector<Directive>* out, std::string* error);

}  // namespace VellHost
