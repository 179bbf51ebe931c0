// CPU seconds for the session benchmarks. Under Wine they are counted in 10 ms ticks: summed over many frames or
// seconds of sound, a stage's share of them still shows where the time goes.
#pragma once

#include <windows.h>

#include <cstdint>

namespace VellRecorder::Bench {

inline double Seconds(FILETIME time) {
  return static_cast<double>((static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime) / 1e7;
}

// Of the whole process so far.
inline double ProcessCpuSeconds() {
  FILETIME created, exited, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  return Seconds(kernel) + Seconds(user);
}

// Of the calling thread so far.
inline double ThreadCpuSeconds() {
  FILETIME created, exited, kernel, user;
  GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
  return Seconds(kernel) + Seconds(user);
}

}  // namespace VellRecorder::Bench
