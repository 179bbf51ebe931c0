// Threads of the recording sessions. An exception escaping a thread body is reported on standard output
// with the last system error and then ends the process: a session thread that died silently would leave
// a recording that looks alive but writes nothing.
#pragma once

#include <functional>
#include <thread>

namespace VellRecorder {

std::thread LaunchGuardedThread(std::function<void()> body);

}  // namespace VellRecorder
