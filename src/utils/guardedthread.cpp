#include "utils/guardedthread.h"

#include <cerrno>
#include <exception>
#include <iostream>

#ifdef _WIN32
#include <windows.h>
#endif

namespace VellRecorder {
namespace {

unsigned long LastSystemError() {
#ifdef _WIN32
  return GetLastError();
#else
  return static_cast<unsigned long>(errno);
#endif
}

}  // namespace

std::thread LaunchGuardedThread(std::function<void()> body) {
  return std::thread([body = std::move(body)] {
    try {
      body();
    } catch (const std::exception& e) {
      const unsigned long error = LastSystemError();
      std::cout << e.what() << std::endl << "last win32 error: " << error << std::endl;
      throw;
    }
  });
}

}  // namespace VellRecorder
