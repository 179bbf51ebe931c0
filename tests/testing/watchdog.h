// Bounds a call that may hang (a Stop, a drain, a wait for a thread): the test fails after the limit instead of
// waiting for CTest's time-out, which would also take the rest of the program's tests with it.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <utility>

namespace VellRecorder::Testing {

// Runs `call` on another thread and waits at most `limit`. On time-out the test fails and the process ends at
// once: the hung call still owns objects on this thread's stack, so nothing after it can run safely.
template <typename Call>
void WithinOrDie(std::chrono::milliseconds limit, const char* what, Call&& call) {
  auto done = std::async(std::launch::async, std::forward<Call>(call));
  if (done.wait_for(limit) == std::future_status::ready) {
    done.get();
    return;
  }
  ADD_FAILURE() << what << " did not return within " << limit.count() << " ms";
  std::fprintf(stderr, "watchdog: %s hung for %lld ms; ending the test program\n", what,
               static_cast<long long>(limit.count()));
  std::fflush(stderr);
  std::_Exit(3);
}

}  // namespace VellRecorder::Testing
