// A frame slot between two pipeline threads: a media buffer and the timing of the frame it holds.
#pragma once

#include <windows.h>
#include <mfobjects.h>

#include <cstdint>
#include <mutex>

#include "utils/comptr.h"

namespace VellRecorder {

// Threading: each slot has one writing thread. That thread alone calls Stamp, CopyTimingTo and
// Restart, and reads its own slot without locking. Another thread fills the slot only through the
// upstream slot's PublishTo, which holds this slot's mutex_; the consuming thread holds mutex_ (Lock)
// for as long as it reads the frame, so a publish waits until the reader is done.
class SafeMFBuffer {
 public:
  // start_time_ns: the session's start instant on the monotonic clock.
  explicit SafeMFBuffer(int64_t start_time_ns);
  SafeMFBuffer(const SafeMFBuffer&) = delete;
  SafeMFBuffer& operator=(const SafeMFBuffer&) = delete;

  // Measure from another slot's start instant (a session restarting its chain).
  void Restart(const SafeMFBuffer& other);

  // The frame clock for a frame taken at `taken_ns` (MonotonicNowNs): time = the clock's time since the start in
  // whole microseconds, and duration = how far that moved since the previous stamp.
  void Stamp(int64_t taken_ns);

  // Leaves `ns` out of the frame clock (time a session spent paused): the next frame's duration and every
  // later time are as if that time had not passed. Writing thread only.
  void ExcludeFromClock(int64_t ns) { last_stamp_ns_ += ns; }

  // Hand the timing to the next stage's slot without the buffer (no lock: both belong to the caller).
  void CopyTimingTo(SafeMFBuffer* target) const;

  // Make `target` share this slot's buffer and timing, under target's mutex.
  void PublishTo(SafeMFBuffer* target) const;

  // A sample holding the buffer, stamped with time and duration in 100-ns units.
  HRESULT CreateSample(ComPtr<IMFSample>* out) const;

  // Held by the consuming thread while it reads the frame.
  [[nodiscard]] std::unique_lock<std::mutex> Lock() { return std::unique_lock<std::mutex>(mutex_); }

  IMFMediaBuffer* Buffer() const { return buffer_.Get(); }
  // For the writing thread to replace the buffer (e.g. a converter's output).
  ComPtr<IMFMediaBuffer>* MutableBuffer() { return &buffer_; }

  int64_t StartTimeNs() const { return start_time_ns_; }
  int64_t LastStampNs() const { return last_stamp_ns_; }
  int64_t DurationUs() const { return duration_us_; }
  // Whole microseconds of the clock's time.
  int64_t TimeUs() const { return clock_ns_ / 1000; }

 private:
  ComPtr<IMFMediaBuffer> buffer_;  // guarded by mutex_ once shared
  int64_t start_time_ns_;
  int64_t last_stamp_ns_;
  // Time on the frame clock since the start, excluded time left out. Guarded by mutex_ once shared.
  int64_t clock_ns_ = 0;
  int64_t duration_us_ = 0;  // guarded by mutex_ once shared
  std::mutex mutex_;
};

}  // namespace VellRecorder
