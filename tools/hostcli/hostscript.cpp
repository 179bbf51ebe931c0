#include "hostscript.h"

#include <algorithm>
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

bool ScriptRunner::Run(const std::vector<Directive>& directives) {
  for (const Directive& directive : directives) {
    if (!RunDirective(directive)) {
      std::printf("[%8.1f ms] FAILED: %s\n", Elapsed(), directive.line.c_str());
      std::fflush(stdout);
      return false;
    }
  }
  return true;
}

bool ScriptRunner::RunDirective(const Directive& d) {
  using K = DirectiveKind;
  switch (d.kind) {
    case K::kSend: return Send(d.text);
    case K::kSendText: return pipe_.WriteFrame(d.text);
    case K::kSendBytes: return pipe_.WriteBytes(d.text);
    case K::kSendSplit: return SendSplit(static_cast<size_t>(d.number), d.text);
    case K::kExpect: return Expect(d.text, d.payload);
    case K::kExpectRaw: return ExpectRaw(d.text);
    case K::kWaitFor: return WaitFor(d.text);
    case K::kExpectQuiet: return !pipe_.Next(milliseconds(d.number));
    case K::kExpectLog: return ExpectLog(d.text, true);
    case K::kExpectNoLog: return ExpectLog(d.text, false);
    case K::kSleep: std::this_thread::sleep_for(milliseconds(d.number)); return true;
    case K::kClosePipe:
      closed_at_ = Clock::now();
      pipe_.ClosePipe();
      std::printf("[%8.1f ms] pipe closed\n", Elapsed());
      return true;
    case K::kExpectExit: return ExpectExit(d.number, d.limit_ms);
    case K::kTerminate: Terminate(); return false;
  }
  return false;
}

bool ScriptRunner::Send(const std::string& text) {
  // A long frame (a deep nesting case) is shown by its start and size only.
  if (text.size() <= 300) {
    std::printf("[%8.1f ms] -> %s\n", Elapsed(), text.c_str());
  } else {
    std::printf("[%8.1f ms] -> %.200s... (%zu bytes)\n", Elapsed(), text.c_str(), text.size());
  }
  return pipe_.WriteFrame(text);
}

void ScriptRunner::Terminate() {
  SYSTEMTIME now;
  GetLocalTime(&now);  // the clock of the daemon's log records, to measure how long it outlives us
  std::printf("[%8.1f ms] host terminating at %04d-%02d-%02d %02d:%02d:%02d.%03d\n", Elapsed(), now.wYear,
              now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
  std::fflush(stdout);
  TerminateProcess(GetCurrentProcess(), 3);
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

bool ScriptRunner::ExpectExit(long long status, long long limit_ms) {
  const auto since = closed_at_ == Clock::time_point{} ? Clock::now() : closed_at_;
  const auto limit = milliseconds(limit_ms);
  // Past the limit already: look once. An exit seen only after the limit is not one within it.
  const auto left = std::max(milliseconds(0), limit - std::chrono::duration_cast<milliseconds>(Clock::now() - since));
  const auto exit = pipe_.WaitForDaemonExit(left);
  const double took = std::chrono::duration<double, std::milli>(Clock::now() - since).count();
  if (!exit) {
    std::printf("daemon still running after %.1f ms\n", took);
    return false;
  }
  std::printf("[%8.1f ms] daemon exited with %lu, seen %.1f ms after the pipe closed\n", Elapsed(), *exit, took);
  if (took > static_cast<double>(limit_ms)) {
    std::printf("its exit was seen only after the limit of %lld ms\n", limit_ms);
    return false;
  }
  return static_cast<long long>(*exit) == status;
}

bool ScriptRunner::SendSplit(size_t split_at, const std::string& text) {
  const std::string frame = VellRecorder::EncodeFrame(text);
  const size_t split = std::min(frame.size(), split_at);
  if (!pipe_.WriteBytes(frame.substr(0, split))) return false;
  std::this_thread::sleep_for(milliseconds(150));
  return pipe_.WriteBytes(frame.substr(split));
}

}  // namespace VellHost
