// Times of a camera recording's encoded frames on the recording's time line, kept apart from Media Foundation
// so that it builds and is tested natively.
//
// Sample times are presentation times (100-ns units) of the camera's media session. The first frame written
// fixes the origin; a frame's time is its distance from the origin plus the delay between the recording start
// and the media session's start. The camera keeps running while paused: Pause and Resume read the
// presentation clock, and the paused interval moves the origin, so the frame after a resume follows the last
// one before the pause. Frames during a pause are dropped, and the encoder's frames after them reference
// frames that were never written: the first frame written, and the first after a resume, is a keyframe (the
// session asks the encoder for one at a resume). Times written only increase.
//
// Not thread-safe: the sample grabber calls it under its own mutex.
#pragma once

#include <cstdint>
#include <optional>

namespace VellRecorder {

class CameraTimeline {
 public:
  // The media session started `delay_us` after the recording start. Only the first start counts: a session
  // started again (after an end of stream) goes on from the same origin.
  void SessionStarted(int64_t delay_us);
  // The time in microseconds of a frame at `sample_time`, or nothing when the frame must not be written
  // (paused, stopped, waiting for a keyframe, or not after the last frame written).
  std::optional<int64_t> Stamp(int64_t sample_time, bool keyframe);
  // `clock_time`: the presentation clock's time (100 ns) at the pause and at the resume.
  void Pause(int64_t clock_time);
  void Resume(int64_t clock_time);
  // Nothing is written any more.
  void Stop() { stopped_ = true; }

  bool Paused() const { return paused_; }

 private:
  bool started_ = false;
  int64_t offset_us_ = 0;
  bool origin_set_ = false;  // a first sample time of 0 is a valid origin
  int64_t origin_ = 0;
  bool paused_ = false;
  int64_t pause_time_ = 0;
  bool need_keyframe_ = true;
  bool stopped_ = false;
  std::optional<int64_t> last_us_;
};

}  // namespace VellRecorder
