// vell-host: plays the host application. Creates the pipe, starts the daemon, checks its introduction,
// then runs directives (from --script and the command line), printing every message it receives.
//
//   vell-host [--daemon PATH] [--inject-dll PATH] [--secret S] [--script FILE] [--daemon-log FILE]
//             [--timeout-ms N] [--raw] [DIRECTIVE ...]
//
// --inject-dll loads a DLL into the daemon before its main (test stand-ins of system components); repeated, it
// loads each in turn.
//
// Exit status: 0 all expectations held, 1 one failed, 2 the command line or script is not usable (nothing is
// started then), or the daemon could not be started or did not connect.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "hostpipe.h"
#include "hostscript.h"
#include "utils/log.h"
#include "utils/textconv.h"

namespace {

using namespace VellHost;
using std::chrono::milliseconds;

struct Options {
  std::wstring daemon;
  std::vector<std::wstring> inject_dlls;  // loaded into the daemon before its main (test stand-ins)
  std::string secret;
  ScriptOptions script;
  std::vector<std::string> lines;
  std::vector<Directive> directives;
};

std::vector<std::string> Arguments() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.push_back(VellRecorder::ToUtf8(argv[i]));
  LocalFree(argv);
  return args;
}

std::wstring DefaultDaemonPath() {
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring path = self;
  return path.substr(0, path.find_last_of(L"\\/") + 1) + L"VellRecorder.exe";
}

bool ReadScript(const std::string& file, std::vector<std::string>* lines) {
  std::ifstream in(VellRecorder::ToWide(file).c_str());
  if (!in) return false;
  for (std::string line; std::getline(in, line);) lines->push_back(line);
  return true;
}

bool ParseOptions(const std::vector<std::string>& args, Options* options) {
  options->daemon = DefaultDaemonPath();
  options->secret = "vell-" + std::to_string(std::random_device{}()) + std::to_string(GetTickCount64());
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool has_value = i + 1 < args.size();
    if (arg == "--raw") {
      options->script.raw = true;
    } else if (arg.rfind("--", 0) == 0 && !has_value) {
      return false;
    } else if (arg == "--daemon") {
      options->daemon = VellRecorder::ToWide(args[++i]);
    } else if (arg == "--inject-dll") {
      options->inject_dlls.push_back(VellRecorder::ToWide(args[++i]));
    } else if (arg == "--secret") {
      options->secret = args[++i];
    } else if (arg == "--daemon-log") {
      options->script.daemon_log = VellRecorder::ToWide(args[++i]);
    } else if (arg == "--timeout-ms") {
      long long ms = 0;
      if (!ParseNumber(args[++i], 0, 24LL * 3600 * 1000, &ms)) {
        std::fprintf(stderr, "--timeout-ms: expected milliseconds, got %s\n", args[i].c_str());
        return false;
      }
      options->script.timeout = milliseconds(ms);
    } else if (arg == "--script") {
      if (!ReadScript(args[++i], &options->lines)) {
        std::fprintf(stderr, "cannot read script %s\n", args[i].c_str());
        return false;
      }
    } else {
      options->lines.push_back(arg);
    }
  }
  // Every directive is checked before the daemon starts: a typo costs no run.
  std::string error;
  if (!ParseScript(options->lines, &options->directives, &error)) {
    std::fprintf(stderr, "bad directive: %s\n", error.c_str());
    return false;
  }
  return true;
}

// The daemon's first message must be "provide-secret" carrying our secret.
bool CheckIntroduction(HostPipe& pipe, const ScriptRunner& runner, const Options& options) {
  const auto first = pipe.Next(options.script.timeout);
  if (!first) {
    std::printf("no introduction from the daemon\n");
    return false;
  }
  const auto payload = nlohmann::json::parse(first->payload.empty() ? "null" : first->payload, nullptr, false);
  const bool ok = first->type == "provide-secret" && payload.is_object() && payload.contains("secret") &&
                  payload["secret"] == options.secret;
  std::printf("[%8.1f ms] %s\n", runner.Elapsed(),
              ok ? "introduction: provide-secret with our secret" : "WRONG: expected provide-secret with our secret");
  std::fflush(stdout);
  return ok;
}

}  // namespace

int main() {
  VellRecorder::Log::Init(VellRecorder::Log::Severity::kError, &std::cerr);
  Options options;
  if (!ParseOptions(Arguments(), &options)) {
    std::fprintf(stderr, "usage: vell-host [--daemon PATH] [--inject-dll PATH] [--secret S] [--script FILE] "
                         "[--daemon-log FILE] [--timeout-ms N] [--raw] [DIRECTIVE ...]\n");
    return 2;
  }
  const auto start = Clock::now();
  HostPipe pipe;
  pipe.SetWriteTimeout(options.script.timeout);
  ScriptRunner runner(pipe, options.script, start);
  if (!pipe.Start(options.daemon, options.secret, options.script.daemon_log, options.inject_dlls)) return 2;
  std::printf("[%8.1f ms] daemon started, pid %lu, pipe %s\n", runner.Elapsed(), pipe.DaemonPid(),
              VellRecorder::ToUtf8(pipe.PipeName()).c_str());
  // Every message is printed as it arrives; the directives only check them.
  if (!pipe.WaitForConnection(options.script.timeout, [&](const Received& m) { runner.Print(m); })) {
    const auto status = pipe.WaitForDaemonExit(milliseconds(0));
    std::printf("the daemon did not connect%s\n", status ? (" (exited with " + std::to_string(*status) + ")").c_str()
                                                         : "");
    if (!status) pipe.TerminateDaemon();
    return 2;
  }
  std::printf("[%8.1f ms] daemon connected\n", runner.Elapsed());
  bool ok = CheckIntroduction(pipe, runner, options) && runner.Run(options.directives);
  // Leaving ends the daemon: it sees the pipe break.
  pipe.ClosePipe();
  if (!pipe.WaitForDaemonExit(milliseconds(5000))) {
    std::printf("daemon did not exit after the pipe closed; terminating it\n");
    pipe.TerminateDaemon();
    ok = false;
  }
  std::printf("[%8.1f ms] %s\n", runner.Elapsed(), ok ? "done" : "FAILED");
  return ok ? 0 : 1;
}
