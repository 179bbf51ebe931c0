// Where a source's captured bytes go, by their capture times. Needs no Windows API.
//
// The bytes of a stretch are placed by their count from its first byte, so they stay at their capture times only
// while the endpoint delivers every byte at its rate. Sound the endpoint lost (an overrun while the capture thread
// was held up) would pull all later sound earlier; a first packet stamped late would push all of it later.
// A packet's time is never before its capture (Wine stamps a packet when it reads it from the sound server, late
// by up to tens of milliseconds under load; Windows when it is captured), so over a second of packets the least
// lateness is the placement's own error, and the correction brings it back to that: silence for sound behind
// its time, bytes dropped for sound ahead of it. At a gap the endpoint flags, the gap packet's own lateness is
// put in as silence at once, at the gap; what its late stamp overstates comes off in the next correction.
// The first stamp is as late as any: until the placement has settled, the stretch's first byte is moved to the
// earliest time the packets give it, which costs nothing while none of its sound is mixed.
// Used by the audio capture thread only; no lock.
#pragma once

#include <cstdint>
#include <limits>

namespace VellRecorder {

class CapturePlacement {
 public:
  // Less than this is the jitter of the packets' capture times.
  static constexpr int64_t kToleranceNs = 5000000;
  static constexpr int64_t kWindowNs = 1000000000;
  // Well within the mixer's wait for a late source.
  static constexpr int64_t kSettleNs = 200000000;
  // Bounds one correction: a stamp far off must not put minutes of silence in.
  static constexpr int64_t kMaxCorrectionNs = 5000000000;

  // A new stretch whose first byte, of a format of that many bytes per second and per block, was captured at
  // `capture_ns`.
  void Begin(int64_t capture_ns, uint32_t bytes_per_second, uint32_t block_align);
  void Reset() { begun_ = false; }
  bool Begun() const { return begun_; }
  // Whether the stretch's first byte has its time for good: its sound may go to the mix.
  bool Settled() const { return begun_ && settled_; }
  int64_t FirstCaptureNs() const { return first_capture_ns_; }

  // Bytes of silence that take the place of sound lost before a byte captured at `capture_ns`, which would be
  // placed `position` bytes after the stretch's first. Block-aligned.
  uint64_t GapSilence(int64_t capture_ns, uint64_t position) const;
  // The byte at `position` was captured at `capture_ns`. At the end of each window after settling: the
  // correction to make after the bytes placed so far, in bytes (silence > 0, dropped < 0, block-aligned);
  // otherwise 0.
  int64_t Observe(int64_t capture_ns, uint64_t position);

 private:
  int64_t LatenessNs(int64_t capture_ns, uint64_t position) const;
  uint64_t ToBytes(int64_t ns) const;

  uint32_t bytes_per_second_ = 1;
  uint32_t block_align_ = 1;
  bool begun_ = false;
  bool settled_ = false;
  int64_t first_capture_ns_ = 0;
  int64_t first_stamp_ns_ = 0;
  bool window_open_ = false;
  int64_t window_start_ns_ = 0;
  int64_t window_least_ns_ = std::numeric_limits<int64_t>::max();
};

// The silence the mixer puts in for a source while it lags the others (AudioMixer::SilenceFilledBytes, 48 kHz mono
// 16-bit), as bytes of the source's capture format. The position CapturePlacement compares with capture times
// counts it like any other silence placed for the source: left out, a stall the mixer had padded was made up a
// second time by the placement a second later, and the source stayed that late.
// Used by the audio capture thread only; no lock.
class MixerPadding {
 public:
  // Counts from the mixer's count now, for a source of that format.
  void Restart(uint64_t mixer_bytes, uint32_t bytes_per_second, uint32_t block_align);
  // The source's bytes the padding grew by since the last call (block-aligned; nothing is lost to rounding).
  uint64_t Grown(uint64_t mixer_bytes);

 private:
  uint64_t base_ = 0;
  uint64_t counted_ = 0;
  uint32_t bytes_per_second_ = 1;
  uint32_t block_align_ = 1;
};

}  // namespace VellRecorder
