#include "testing/watchdog.h"

#include <chrono>
#include <stdexcept>
#include <thread>

namespace VellRecorder::Testing {
namespace {

using std::chrono::milliseconds;

TEST(WatchdogDeathTest, AHungCallEndsTheProgramWithAFailureNamingIt) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(WithinOrDie(milliseconds(100), "the stuck call", [] { std::this_thread::sleep_for(milliseconds(3000)); }),
              testing::ExitedWithCode(3), "watchdog: WatchdogDeathTest.AHungCallEndsTheProgramWithAFailureNamingIt: "
                                          "the stuck call hung for 100 ms");
}

TEST(WatchdogTest, ACallInTimeReturnsItsEffectsAndItsException) {
  int calls = 0;
  WithinOrDie(milliseconds(5000), "a quick call", [&calls] { ++calls; });
  EXPECT_EQ(calls, 1);
  EXPECT_THROW(WithinOrDie(milliseconds(5000), "a throwing call", [] { throw std::runtime_error("x"); }),
               std::runtime_error);
}

}  // namespace
}  // namespace VellRecorder::Testing
