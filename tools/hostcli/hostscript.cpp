#include "hostscript.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "ipcmessageparser.h"

namespace VellHost {
namespace {

using nlohmann::json;
using std::chrono::milliseconds;

// "word rest of line" -> {"word", "rest of line"}
std::pair<std::string, std::string> SplitWord(const std::string& line) {
  const size_t space = line.find(' ');
  if (space == std::string::npos) return {line, ""};
  return {line.substr(0, space), line.substr(line.find_first_not_of(' ', space))};
}

bool ParseHex(const std::string& hex, std::string* out) {
  std::string compact;
  for (char c : hex) {
    if (c != ' ') compact.push_back(c);
  }
  if (compact.size() % 2 != 0) return false;
  for (size_t i = 0; i < compact.size(); i += 2) {
    out->push_back(static_cast<char>(std::stoi(compact.substr(i, 2), nullptr, 16)));
  }
  return true;
}

std::string ReadFileText(const std::wstring& path) {
  std::ifstream in(path.c_str(), std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

double ScriptRunner::Elapsed() const {
  return std::chrono::duration<double, std::milli>(Clock::now() - start_).count();
}

void ScriptRunner::Print(const Received& message) const {
  const double at = std::chrono::duration<double, std::milli>(message.at - start_).count();
  if (message.type == "provide-secret") {
    std::printf("[%8.1f ms] <- provide-secret\n", at);  // checked, not shown
  } else if (options_.raw || message.type.empty()) {
    std::printf("[%8.1f ms] <- %s\n", at, message.envelope.c_str());
  } else {
    std::printf("[%8.1f ms] <- %s %s\n", at, message.type.c_str(), message.payload.c_str());
  }
  std::fflush(stdout);
}

bool ScriptRunner::Run(const std::vector<std::string>& lines) {
  for (const std::string& raw : lines) {
    std::string line = raw;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    if (!RunLine(line)) {
      std::printf("[%8.1f ms] FAILED: %s\n", Elapsed(), line.c_str());
      std::fflush(stdout);
      return false;
    }
  }
  return true;
}

bool ScriptRunner::RunLine(const std::string& line) {
  auto [word, rest] = SplitWord(line);
  if (word[0] == '{' || word == "send") {
    const std::string text = word == "send" ? rest : line;
    if (!json::accept(text)) {
      std::printf("not JSON: %s\n", text.c_str());
      return false;
    }
    std::printf("[%8.1f ms] -> %s\n", Elapsed(), text.c_str());
    return pipe_.WriteFrame(text);
  }
  if (word == "send-text") return pipe_.WriteFrame(rest);
  if (word == "send-bytes") {
    std::string bytes;
    return ParseHex(rest, &bytes) && pipe_.WriteBytes(bytes);
  }
  if (word == "send-split") return SendSplit(rest);
  if (word == "expect") {
    auto [type, payload] = SplitWord(rest);
    return Expect(type, payload);
  }
  if (word == "expect-raw") return ExpectRaw(rest);
  if (word == "wait-for") return WaitFor(rest);
  if (word == "expect-quiet") return ExpectQuiet(std::stoi(rest));
  if (word == "expect-log") return ExpectLog(rest, true);
  if (word == "expect-no-log") return ExpectLog(rest, false);
  if (word == "sleep") {
    std::this_thread::sleep_for(milliseconds(std::stoi(rest)));
    return true;
  }
  if (word == "close-pipe") {
    closed_at_ = Clock::now();
    pipe_.ClosePipe();
    std::printf("[%8.1f ms] pipe closed\n", Elapsed());
    return true;
  }
  if (word == "expect-exit") return ExpectExit(rest);
  if (word == "terminate") {
    SYSTEMTIME now;
    GetLocalTime(&now);  // the clock of the daemon's log records, to measure how long it outlives us
    std::printf("[%8.1f ms] host terminating at %04d-%02d-%02d %02d:%02d:%02d.%03d\n", Elapsed(), now.wYear,
                now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
    std::fflush(stdout);
    TerminateProcess(GetCurrentProcess(), 3);
  }
  std::printf("unknown directive: %s\n", line.c_str());
  return false;
}

bool ScriptRunner::Expect(const std::string& type, const std::string& payload) {
  const auto message = pipe_.Next(options_.timeout);
  if (!message) {
    std::printf("timed out waiting for %s\n", type.c_str());
    return false;
  }
  if (message->type != type) {
    std::printf("expected %s, got %s\n", type.c_str(), message->type.c_str());
    return false;
  }
  if (payload.empty()) return true;
  const json want = json::parse(payload, nullptr, false);
  const json got = json::parse(message->payload.empty() ? "null" : message->payload, nullptr, false);
  return !want.is_discarded() && want == got;
}

bool ScriptRunner::ExpectRaw(const std::string& envelope) {
  const auto message = pipe_.Next(options_.timeout);
  if (!message) return false;
  if (message->envelope == envelope) return true;
  std::printf("expected exactly: %s\n", envelope.c_str());
  return false;
}

bool ScriptRunner::WaitFor(const std::string& type) {
  const auto deadline = Clock::now() + options_.timeout;
  while (Clock::now() < deadline) {
    const auto message = pipe_.Next(std::chrono::duration_cast<milliseconds>(deadline - Clock::now()));
    if (!message) break;
    if (message->type == type) return true;
  }
  std::printf("timed out waiting for %s\n", type.c_str());
  return false;
}

bool ScriptRunner::ExpectQuiet(int ms) {
  const auto message = pipe_.Next(milliseconds(ms));
  return !message;
}

bool ScriptRunner::ExpectLog(const std::string& text, bool present) const {
  if (options_.daemon_log.empty()) {
    std::printf("expect-log needs --daemon-log\n");
    return false;
  }
  // The daemon writes its log as it goes: a record just sent gets a second to land, and text that must not
  // be there is looked for that long too.
  for (int attempt = 0; attempt < 20; ++attempt) {
    if (ReadFileText(options_.daemon_log).find(text) != std::string::npos) return present;
    std::this_thread::sleep_for(milliseconds(50));
  }
  return !present;
}

bool ScriptRunner::ExpectExit(const std::string& args) {
  // "STATUS within MS"
  std::istringstream in(args);
  long status = 0;
  std::string within;
  int ms = 0;
  if (!(in >> status >> within >> ms) || within != "within") return false;
  const auto since = closed_at_ == Clock::time_point{} ? Clock::now() : closed_at_;
  const auto exit = pipe_.WaitForDaemonExit(milliseconds(ms) - std::chrono::duration_cast<milliseconds>(
                                                                   Clock::now() - since));
  const double took = std::chrono::duration<double, std::milli>(Clock::now() - since).count();
  if (!exit) {
    std::printf("daemon still running after %.1f ms\n", took);
    return false;
  }
  std::printf("[%8.1f ms] daemon exited with %lu, %.1f ms after the pipe closed\n", Elapsed(), *exit, took);
  return static_cast<long>(*exit) == status;
}

bool ScriptRunner::SendSplit(const std::string& args) {
  auto [count, text] = SplitWord(args);
  const std::string frame = VellRecorder::EncodeFrame(text);
  const size_t split = std::min(frame.size(), static_cast<size_t>(std::stoul(count)));
  if (!pipe_.WriteBytes(frame.substr(0, split))) return false;
  std::this_thread::sleep_for(milliseconds(150));
  return pipe_.WriteBytes(frame.substr(split));
}

}  // namespace VellHost
