#include "launchargument.h"

#include <nlohmann/json.hpp>

namespace VellRecorder {

using nlohmann::json;

namespace {

const json& DaemonOptions(const json& document) { return document.at("payload").at("daemonOptions"); }

}  // namespace

LaunchArgument ParseLaunchArgument(const std::string& argument) {
  const json document = json::parse(argument);
  const json& options = DaemonOptions(document);
  LaunchArgument result;
  result.secret = options.at("secret").get<std::string>();
  result.pipe_path = options.at("pipePath").get<std::string>();
  return result;
}

std::string RedactSecret(const std::string& argument) {
  json document;
  std::string secret;
  try {
    document = json::parse(argument);
    secret = DaemonOptions(document).at("secret").get<std::string>();
  } catch (const json::exception&) {
    return argument;
  }
  if (secret.empty()) return argument;
  // Replace the secret where it stands as a JSON string literal, keeping the rest of the text as sent.
  const std::string literal = json(secret).dump();
  std::string redacted = argument;
  bool replaced = false;
  for (size_t at = redacted.find(literal); at != std::string::npos; at = redacted.find(literal, at)) {
    redacted.replace(at, literal.size(), "\"<redacted>\"");
    at += 12;
    replaced = true;
  }
  if (replaced) return redacted;
  // The host escaped the secret differently from us: log our own rendering instead of risking a leak.
  document["payload"]["daemonOptions"]["secret"] = "<redacted>";
  return document.dump();
}

}  // namespace VellRecorder
