// The recorder daemon: started by the host application with one JSON argument naming the pipe and the
// secret; runs the control channel until the host application goes away.
#include <windows.h>
#include <shellapi.h>

#include <mfapi.h>

#include <cstdlib>
#include <string>
#include <system_error>

#include <nlohmann/json.hpp>

#include "ipcchannel.h"
#include "launchargument.h"
#include "utils/log.h"
#include "utils/textconv.h"

namespace {

// Connects and runs the channel until the host application goes away.
int RunChannel(const std::string& argument) {
  using namespace VellRecorder;
  const LaunchArgument launch = ParseLaunchArgument(argument);
  IPCChannel channel;
  if (!channel.Connect(ToWide(launch.pipe_path), ToWide(launch.secret))) return EXIT_FAILURE;
  return channel.Run();
}

// argv[1] as UTF-8 whatever the system code page: the pipe name and secret may hold any character.
std::string LaunchArgumentText() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  std::string text = argc >= 2 && argv ? VellRecorder::ToUtf8(argv[1]) : std::string();
  LocalFree(argv);
  return text;
}

}  // namespace

int main(int argc, char**) {
  using namespace VellRecorder;
  Log::Init(Log::Severity::kDebug);
  if (argc < 2) {
    LOG_ERROR << "missing argument 1: the launch options as JSON";
    return EXIT_FAILURE;
  }
  try {
    const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(com)) {
      LOG_ERROR << "Failed to initialize COM: " << std::system_category().message(com);
      return -1;
    }
    MFStartup(MF_VERSION, MFSTARTUP_FULL);
    const std::string argument = LaunchArgumentText();
    LOG_INFO << "argv " << RedactSecret(argument);
    const int status = RunChannel(argument);
    MFShutdown();
    CoUninitialize();
    return status;
  } catch (const std::exception& e) {
    LOG_ERROR << e.what();
    return EXIT_FAILURE;
  }
}
