// The monotonic clock every recording measures from: the performance counter in nanoseconds.
#pragma once

#include <cstdint>

namespace VellRecorder {

// value * to / from, truncated toward zero, for a value counted at `from` per second turned into one counted at
// `to`. Whole seconds and the rest are scaled apart: value * to would overflow 64 bits after a few hours of a
// 10 MHz counter turned into nanoseconds.
constexpr int64_t Rescale(int64_t value, int64_t from, int64_t to) {
  return value / from * to + value % from * to / from;
}

constexpr int64_t CounterToNanoseconds(int64_t count, int64_t frequency) {
  return Rescale(count, frequency, 1000000000LL);
}

int64_t MonotonicNowNs();

}  // namespace VellRecorder
