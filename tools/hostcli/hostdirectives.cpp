#include "hostdirectives.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <utility>

#include <nlohmann/json.hpp>

namespace VellHost {
namespace {

constexpr long long kMaxMs = 24LL * 3600 * 1000;

// "word rest of line" -> {"word", "rest of line"}
std::pair<std::string, std::string> SplitWord(const std::string& line) {
  const size_t space = line.find(' ');
  if (space == std::string::npos) return {line, ""};
  const size_t rest = line.find_first_not_of(' ', space);
  return {line.substr(0, space), rest == std::string::npos ? "" : line.substr(rest)};
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseHex(const std::string& hex, std::string* out) {
  std::string digits;
  for (char c : hex) {
    if (c == ' ') continue;
    if (HexDigit(c) < 0) return false;
    digits.push_back(c);
  }
  if (digits.empty() || digits.size() % 2 != 0) return false;
  for (size_t i = 0; i < digits.size(); i += 2) {
    out->push_back(static_cast<char>(HexDigit(digits[i]) * 16 + HexDigit(digits[i + 1])));
  }
  return true;
}

bool Fail(std::string* error, const std::string& reason) {
  *error = reason;
  return false;
}

// Directives whose argument is one number of milliseconds.
bool ParseMs(const std::string& rest, Directive* out, std::string* error) {
  return ParseNumber(rest, 0, kMaxMs, &out->number) || Fail(error, "expected milliseconds (0-86400000): " + rest);
}

bool ParseExpectExit(const std::string& rest, Directive* out, std::string* error) {
  const auto [status, tail] = SplitWord(rest);
  const auto [within, ms] = SplitWord(tail);
  if (!ParseNumber(status, 0, UINT_MAX, &out->number) || within != "within" ||
      !ParseNumber(ms, 0, kMaxMs, &out->limit_ms)) {
    return Fail(error, "expected \"expect-exit STATUS within MS\" with decimal numbers");
  }
  return true;
}

}  // namespace

bool ParseNumber(std::string_view text, long long min, long long max, long long* out) {
  if (text.empty() || text.size() > 19) return false;
  const std::string digits(text);
  for (size_t i = 0; i < digits.size(); ++i) {
    if (!(digits[i] >= '0' && digits[i] <= '9') && !(i == 0 && digits[i] == '-' && digits.size() > 1)) return false;
  }
  errno = 0;
  const long long value = std::strtoll(digits.c_str(), nullptr, 10);
  if (errno == ERANGE || value < min || value > max) return false;
  *out = value;
  return true;
}

bool ParseDirective(const std::string& line, Directive* out, std::string* error) {
  using K = DirectiveKind;
  out->line = line;
  const auto [word, rest] = SplitWord(line);
  if (word[0] == '{' || word == "send") {
    out->kind = K::kSend;
    out->text = word == "send" ? rest : line;
    return nlohmann::json::accept(out->text) || Fail(error, "not JSON: " + out->text);
  }
  static const std::pair<const char*, K> kTextArgument[] = {
      {"send-text", K::kSendText}, {"expect-raw", K::kExpectRaw}, {"wait-for", K::kWaitFor},
      {"expect-log", K::kExpectLog}, {"expect-no-log", K::kExpectNoLog}};
  for (const auto& [name, kind] : kTextArgument) {
    if (word != name) continue;
    out->kind = kind;
    out->text = rest;
    return kind == K::kSendText || !rest.empty() || Fail(error, word + " needs an argument");
  }
  if (word == "send-bytes") {
    out->kind = K::kSendBytes;
    return ParseHex(rest, &out->text) || Fail(error, "expected an even number of hexadecimal digits: " + rest);
  }
  if (word == "send-split") {
    out->kind = K::kSendSplit;
    const auto [count, text] = SplitWord(rest);
    out->text = text;
    return ParseNumber(count, 0, INT_MAX, &out->number) || Fail(error, "expected \"send-split N TEXT\": " + rest);
  }
  if (word == "expect") {
    out->kind = K::kExpect;
    std::tie(out->text, out->payload) = SplitWord(rest);
    if (out->text.empty()) return Fail(error, "expect needs a type");
    return out->payload.empty() || nlohmann::json::accept(out->payload) ||
           Fail(error, "expected payload is not JSON: " + out->payload);
  }
  if (word == "expect-quiet" || word == "sleep") {
    out->kind = word == "sleep" ? K::kSleep : K::kExpectQuiet;
    return ParseMs(rest, out, error);
  }
  if (word == "expect-exit") {
    out->kind = K::kExpectExit;
    return ParseExpectExit(rest, out, error);
  }
  if ((word == "close-pipe" || word == "terminate") && rest.empty()) {
    out->kind = word == "terminate" ? K::kTerminate : K::kClosePipe;
    return true;
  }
  return Fail(error, "unknown directive");
}

bool ParseScript(const std::vector<std::string>& lines, std::vector<Directive>* out, std::string* error) {
  for (const std::string& raw : lines) {
    std::string line = raw;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    Directive directive;
    std::string reason;
    if (!ParseDirective(line, &directive, &reason)) return Fail(error, line + ": " + reason);
    out->push_back(std::move(directive));
  }
  return true;
}

}  // namespace VellHost
