#include "launchargument.h"

#include <vector>

#include <nlohmann/json.hpp>

#include "ipcmessages.h"

namespace VellRecorder {

using nlohmann::json;

namespace {

// The member's string value; the error names the member and the JSON type found, never a value.
std::string RequireStringAt(const json& document, const char* path) {
  const json* node = &document;
  std::string walked;
  for (const char* key : {"payload", "daemonOptions", path}) {
    walked += walked.empty() ? key : std::string(".") + key;
    const bool last = key == path;
    if (!node->is_object() || !node->contains(key)) {
      throw LaunchArgumentError("launch argument: " + walked + " is missing");
    }
    node = &(*node)[key];
    if (!last) continue;
    if (!node->is_string()) {
      throw LaunchArgumentError("launch argument: " + walked + " must be a string, but is " + node->type_name());
    }
  }
  return node->get<std::string>();
}

// Collects the value of every member named "secret", wherever it stands and however often: the parsed
// document keeps only the last of duplicate keys, and the log must hide them all. Refuses deep nesting.
class SecretFinder : public json::json_sax_t {
 public:
  std::vector<std::string> secrets;  // one for each member, duplicates included
  std::vector<std::string> others;   // every other string: keys and values
  bool non_string_secret = false;

  bool null() override { return Value(); }
  bool boolean(bool) override { return Value(); }
  bool number_integer(number_integer_t) override { return Value(); }
  bool number_unsigned(number_unsigned_t) override { return Value(); }
  bool number_float(number_float_t, const string_t&) override { return Value(); }
  bool binary(binary_t&) override { return Value(); }
  bool string(string_t& value) override {
    (next_is_secret_ ? secrets : others).push_back(value);
    next_is_secret_ = false;
    return true;
  }
  bool start_object(std::size_t) override { return Open(); }
  bool start_array(std::size_t) override { return Open(); }
  bool key(string_t& name) override {
    next_is_secret_ = name == "secret";
    others.push_back(name);
    return true;
  }
  bool end_object() override { return Close(); }
  bool end_array() override { return Close(); }
  bool parse_error(std::size_t, const std::string&, const json::exception&) override { return false; }

 private:
  bool Value() {
    non_string_secret |= next_is_secret_;
    next_is_secret_ = false;
    return true;
  }
  bool Open() {
    Value();
    return ++depth_ <= kMaxNestingDepth;
  }
  bool Close() {
    --depth_;
    return true;
  }

  bool next_is_secret_ = false;  // the last key read was "secret" and its value has not come yet
  size_t depth_ = 0;
};

std::string Redacted(const std::string& argument) {
  return "<redacted: " + std::to_string(argument.size()) + " bytes>";
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

LaunchArgument ParseLaunchArgument(const std::string& argument) {
  if (NestsDeeperThan(argument, kMaxNestingDepth)) {
    throw LaunchArgumentError("launch argument: nested deeper than " + std::to_string(kMaxNestingDepth) + " levels");
  }
  json document;
  try {
    document = json::parse(argument);
  } catch (const json::parse_error& e) {
    // The library's text quotes the input around the error, which may be the secret.
    throw LaunchArgumentError("launch argument: not valid JSON (error at byte " + std::to_string(e.byte) + ")");
  }
  LaunchArgument result;
  result.secret = RequireStringAt(document, "secret");
  result.pipe_path = RequireStringAt(document, "pipePath");
  return result;
}

std::string RedactSecret(const std::string& argument) {
  SecretFinder finder;
  if (!json::sax_parse(argument, &finder) || finder.non_string_secret) return Redacted(argument);
  for (const std::string& secret : finder.secrets) {
    // Its text inside another value or key would stay in clear.
    for (const std::string& other : finder.others) {
      if (!secret.empty() && Contains(other, secret)) return Redacted(argument);
    }
  }
  // Replace each copy where it stands as a JSON string literal, keeping the rest of the text as sent.
  std::string redacted = argument;
  size_t replaced = 0;
  for (const std::string& secret : finder.secrets) {
    if (secret.empty()) {
      ++replaced;  // nothing to hide
      continue;
    }
    const std::string literal = json(secret).dump();
    for (size_t at = redacted.find(literal); at != std::string::npos; at = redacted.find(literal, at)) {
      redacted.replace(at, literal.size(), "\"<redacted>\"");
      ++replaced;
    }
  }
  // Fewer replacements than copies: the host escaped one differently from us.
  return replaced >= finder.secrets.size() ? redacted : Redacted(argument);
}

}  // namespace VellRecorder
