#include "media_transforms/safemfbuffer.h"

#include <mfapi.h>

#include "tracehr.h"

namespace VellRecorder {

SafeMFBuffer::SafeMFBuffer(int64_t start_time_ns) : start_time_ns_(start_time_ns), last_stamp_ns_(start_time_ns) {}

void SafeMFBuffer::Restart(const SafeMFBuffer& other) {
  start_time_ns_ = other.start_time_ns_;
  last_stamp_ns_ = other.start_time_ns_;
  clock_ns_ = TimeUs() * 1000;
}

void SafeMFBuffer::Stamp(int64_t taken_ns) {
  // Whole microseconds are taken of the clock's total, not of each interval: an interval's dropped nanoseconds
  // (half a microsecond on average) would add up to about 50 ms an hour at 30 frames a second.
  const int64_t before_us = TimeUs();
  clock_ns_ += taken_ns - last_stamp_ns_;
  last_stamp_ns_ = taken_ns;
  duration_us_ = TimeUs() - before_us;
}

void SafeMFBuffer::CopyTimingTo(SafeMFBuffer* target) const {
  target->last_stamp_ns_ = last_stamp_ns_;
  target->clock_ns_ = clock_ns_;
  target->duration_us_ = duration_us_;
}

void SafeMFBuffer::PublishTo(SafeMFBuffer* target) const {
  std::lock_guard<std::mutex> lock(target->mutex_);
  target->buffer_ = buffer_;
  CopyTimingTo(target);
}

HRESULT SafeMFBuffer::CreateSample(ComPtr<IMFSample>* out) const {
  RETURN_IF_FAILED(MFCreateSample(out->ReleaseAndGetAddressOf()));
  RETURN_IF_FAILED((*out)->AddBuffer(buffer_.Get()));
  RETURN_IF_FAILED((*out)->SetSampleTime(TimeUs() * 10));
  RETURN_IF_FAILED((*out)->SetSampleDuration(duration_us_ * 10));
  return S_OK;
}

}  // namespace VellRecorder
