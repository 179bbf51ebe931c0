// Times of a camera recording's encoded frames on the recording's time line, kept apart from Media Foundation
// so that it builds and is tested natively.
//
// Sample times are presentation times (100-ns units) of the camera's media session. When a media session
// starts, its presentation clock's time is tied to the recording's time of that moment; a frame is stamped by
// its own sample time from there. A camera takes a while to deliver its first frame, and that wait is part of
// its sample times: stamping the first frame at the session's start would put the picture ahead of the sound.
// The recording's time comes from the monotonic clock less the paused time, as the sound's does.
//
// The camera keeps running while paused: Pause and Resume read the presentation clock, and the paused interval
// moves the tie, so the frame after a resume follows the last one before the pause. Frames during a pause are
// dropped, and the encoder's frames after them reference frames that were never written: the first frame
// written, the first after a resume and the first of every new media session is a keyframe. Times written only
// increase.
//
// Video missing from the recording is counted: from the end of the last frame written to the first frame after
// a camera was lost (or to the stop), and the wait for a keyframe after a resume beyond one frame interval.
//
// Not thread-safe: the sample grabber calls it under its own mutex.
#pragma once

#include <cstdint>
#include <optional>

namespace VellRecorder {

class CameraTimeline {
 public:
  // The recording started at `start_ns` (monotonic clock, nanoseconds).
  void Start(int64_t start_ns) { start_ns_ = start_ns; }
  // A media session started: its presentation clock read `clock_time` at `now_ns`. A session started while
  // paused is tied to the recording's time of the pause.
  void SessionStarted(int64_t clock_time, int64_t now_ns);
  // A frame came before its session's start was seen (the start is told by an event that may be read later than
  // the first frames arrive): the session is tied to the clock now, and its start, when seen, keeps that tie and
  // the keyframe already written. Nothing when a session is tied already.
  void FrameBeforeSessionStart(int64_t clock_time, int64_t now_ns);
  // The time in microseconds of a frame at `sample_time`, or nothing when the frame must not be written
  // (paused, stopped, no session, waiting for a keyframe, before the recording start, or not after the last
  // frame written).
  std::optional<int64_t> Stamp(int64_t sample_time, bool keyframe);
  // `clock_time`: the presentation clock's time (100 ns) at the pause and at the resume (any value without a
  // session); `now_ns`: the monotonic clock's.
  void Pause(int64_t clock_time, int64_t now_ns);
  void Resume(int64_t clock_time, int64_t now_ns);
  // The camera stopped delivering at `now_ns`: nothing is written until a new session started.
  void Lost(int64_t now_ns);
  // Nothing is written any more.
  void Stop(int64_t now_ns);

  bool Paused() const { return paused_; }
  // After a resume or a new session, until a keyframe is written.
  bool WaitingForKeyframe() const { return need_keyframe_ && anchored_ && !paused_ && !stopped_; }
  // Microseconds of the recording without camera video (see above).
  int64_t LostUs() const { return lost_us_; }

 private:
  // The recording's time at `now_ns`: paused time left out, a running pause counting up to its start.
  int64_t RecordingUs(int64_t now_ns) const;
  // Video is missing from the end of the last frame written (the recording's time at `now_ns` before any).
  void OpenGap(int64_t now_ns);

  int64_t start_ns_ = 0;
  int64_t paused_ns_ = 0;  // of the pauses that ended
  bool paused_ = false;
  int64_t pause_began_ns_ = 0;
  int64_t pause_clock_ = 0;
  // The tie between the session's presentation clock and the recording's time.
  bool anchored_ = false;
  bool anchored_by_frame_ = false;  // by FrameBeforeSessionStart, its session's start not yet seen
  int64_t anchor_clock_ = 0;
  int64_t anchor_us_ = 0;
  bool need_keyframe_ = true;
  bool stopped_ = false;
  std::optional<int64_t> last_us_;
  int64_t frame_us_ = 0;  // between the last two frames written
  bool gap_open_ = false;
  int64_t gap_start_us_ = 0;
  int64_t lost_us_ = 0;
};

}  // namespace VellRecorder
