#include "sessions/captureplacement.h"

#include <algorithm>

#include "utils/clock.h"

namespace VellRecorder {
namespace {

constexpr int64_t kNsPerSecond = 1000000000;
constexpr int64_t kMixBytesPerSecond = 96000;  // the mixer's 48 kHz mono 16-bit

}  // namespace

void CapturePlacement::Begin(int64_t capture_ns, uint32_t bytes_per_second, uint32_t block_align) {
  bytes_per_second_ = std::max<uint32_t>(bytes_per_second, 1);
  block_align_ = std::max<uint32_t>(block_align, 1);
  begun_ = true;
  settled_ = false;
  first_capture_ns_ = capture_ns;
  first_stamp_ns_ = capture_ns;
  window_open_ = false;
}

int64_t CapturePlacement::LatenessNs(int64_t capture_ns, uint64_t position) const {
  return capture_ns - first_capture_ns_ - CounterToNanoseconds(static_cast<int64_t>(position), bytes_per_second_);
}

uint64_t CapturePlacement::ToBytes(int64_t ns) const {
  const auto bytes = static_cast<uint64_t>(Rescale(std::min(ns, kMaxCorrectionNs), kNsPerSecond, bytes_per_second_));
  return bytes - bytes % block_align_;
}

uint64_t CapturePlacement::GapSilence(int64_t capture_ns, uint64_t position) const {
  const int64_t late = LatenessNs(capture_ns, position);
  return begun_ && late > kToleranceNs ? ToBytes(late) : 0;
}

int64_t CapturePlacement::Observe(int64_t capture_ns, uint64_t position) {
  if (!begun_) return 0;
  if (!settled_) {
    first_capture_ns_ += std::min<int64_t>(0, LatenessNs(capture_ns, position));
    settled_ = capture_ns - first_stamp_ns_ >= kSettleNs;
    return 0;
  }
  if (!window_open_) {
    window_open_ = true;
    window_start_ns_ = capture_ns;
    window_least_ns_ = std::numeric_limits<int64_t>::max();
  }
  window_least_ns_ = std::min(window_least_ns_, LatenessNs(capture_ns, position));
  if (capture_ns - window_start_ns_ < kWindowNs) return 0;
  window_open_ = false;
  if (window_least_ns_ > kToleranceNs) return static_cast<int64_t>(ToBytes(window_least_ns_));
  if (window_least_ns_ < -kToleranceNs) return -static_cast<int64_t>(ToBytes(-window_least_ns_));
  return 0;
}

void MixerPadding::Restart(uint64_t mixer_bytes, uint32_t bytes_per_second, uint32_t block_align) {
  base_ = mixer_bytes;
  counted_ = 0;
  bytes_per_second_ = std::max<uint32_t>(bytes_per_second, 1);
  block_align_ = std::max<uint32_t>(block_align, 1);
}

uint64_t MixerPadding::Grown(uint64_t mixer_bytes) {
  const auto total = static_cast<uint64_t>(
      Rescale(static_cast<int64_t>(mixer_bytes - base_), kMixBytesPerSecond, bytes_per_second_));
  const uint64_t aligned = total - total % block_align_;
  const uint64_t grown = aligned - counted_;
  counted_ = aligned;
  return grown;
}

}  // namespace VellRecorder
