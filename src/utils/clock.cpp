#include "utils/clock.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <chrono>
#endif

namespace VellRecorder {

int64_t MonotonicNowNs() {
#ifdef _WIN32
  LARGE_INTEGER count;
  LARGE_INTEGER frequency;
  QueryPerformanceCounter(&count);
  QueryPerformanceFrequency(&frequency);
  return CounterToNanoseconds(count.QuadPart, frequency.QuadPart);
#else
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
#endif
}

}  // namespace VellRecorder
