// The monotonic clock every recording measures from: the performance counter in nanoseconds.
#pragma once

#include <cstdint>

namespace VellRecorder {

// count / frequency * 1e9 + (count % frequency) * 1e9 / frequency: exact in 64 bits for any uptime,
// where count * 1e9 / frequency would overflow after a few hours at a 10 MHz counter.
constexpr int64_t CounterToNanoseconds(int64_t count, int64_t frequency) {
  return count / frequency * 1000000000LL + (count % frequency) * 1000000000LL / frequency;
}

int64_t MonotonicNowNs();

}  // namespace VellRecorder
