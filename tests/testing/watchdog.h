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

// Long enough for any stop or join on a 2-core machine running eight other builds, far below CTest's
// time-out: a call that takes longer is hung.
inline constexpr std::chrono::milliseconds kHangLimit{20000};

// Runs `call` on another thread and waits at most `limit`. On time-out the test fails and the process ends at
// once: the hung call still owns objects on this thread's stack, so nothing after it can run safely. An
// exception from `call` reaches the caller.
template <typename Call>
void WithinOrDie(std::chrono::milliseconds limit, const char* what, Call&& call) {
  auto done = std::async(std::launch::async, std::forward<Call>(call));
  if (done.wait_for(limit) == std::future_status::ready) {
    done.get();
    return;
  }
  ADD_FAILURE() << what << " did not return within " << limit.count() << " ms";
  // gtest prints no summary after this: say here which test hung.
  const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
  std::fflush(stdout);
  std::fprintf(stderr, "watchdog: %s%s%s: %s hung for %lld ms; ending the test program\n",
               test ? test->test_suite_name() : "", test ? "." : "", test ? test->name() : "", what,
               static_cast<long long>(limit.count()));
  std::fflush(stderr);
  std::_Exit(3);
}

}  // namespace VellRecorder::Testing
