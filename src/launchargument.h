// The daemon's one command-line argument:
//   {"payload": {"daemonOptions": {"pipePath": "\\\\.\\pipe\\...", "secret": "..."}}}
#pragma once

#include <string>

namespace VellRecorder {

struct LaunchArgument {
  std::string pipe_path;  // UTF-8
  std::string secret;     // UTF-8
};

// Throws nlohmann::json::exception for unparsable text or a missing or non-string member.
LaunchArgument ParseLaunchArgument(const std::string& argument);

// The argument as given, with the secret's text replaced by "<redacted>", for the log. An argument that
// does not parse carries no secret we could find, and is returned unchanged.
std::string RedactSecret(const std::string& argument);

}  // namespace VellRecorder
