// The daemon's one command-line argument:
//   {"payload": {"daemonOptions": {"pipePath": "\\\\.\\pipe\\...", "secret": "..."}}}
#pragma once

#include <stdexcept>
#include <string>

namespace VellRecorder {

struct LaunchArgument {
  std::string pipe_path;  // UTF-8
  std::string secret;     // UTF-8
};

// Its text never quotes the argument: it goes to the log, and the argument holds the secret.
class LaunchArgumentError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Throws LaunchArgumentError for unparsable text, nesting deeper than the channel allows, or a missing or
// non-string member.
LaunchArgument ParseLaunchArgument(const std::string& argument);

// The argument for the log: every member named "secret", wherever it stands and however often, has its value
// replaced by "<redacted>", the rest kept as given. When that cannot be done for certain (the text does not
// parse, a secret is not a string or is escaped differently from our own rendering, or its text also stands
// inside another value), the whole argument is replaced by "<redacted: N bytes>".
std::string RedactSecret(const std::string& argument);

}  // namespace VellRecorder
