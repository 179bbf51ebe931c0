// One recording: an output folder with its sink, and the sessions that write into it. Built by the control
// channel for each "recorder-init"; every operation runs on the main thread.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "muxers/hlssink.h"
#include "recorder/metrics.h"
#include "recorder/recordingstate.h"
#include "recorder/screenrecording.h"

namespace VellRecorder {

class AudioRecordingSession;
class CameraRecordingSession;

class Recorder {
 public:
  using PartFinished = std::function<void(std::wstring)>;

  // Throws Exception when the output folder cannot hold the recording (see PrepareOutputFolder), before
  // any session exists.
  Recorder(std::wstring output_folder, PartFinished on_part_finished);
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;
  // Ends the sessions' threads, then closes and reports a part still open.
  ~Recorder();

  // Throws Exception when the display does not exist or no screen session can be built.
  void CreateScreenRecording(const std::wstring& display_name, RECT capture_rect, int32_t width, int32_t height);
  // `width`: the widest camera format accepted. Throws Exception when the camera session cannot be built.
  void CreateCameraRecording(const std::wstring& camera_id, uint32_t width, uint32_t height);
  // Sources that cannot be opened are left out with an error record; throws Exception when access to the
  // microphone is refused.
  void CreateAudioRecording(bool system_audio, const std::wstring& microphone);

  // Each returns false, with an error record and nothing done, when the step is out of order: a second
  // start, a start after Stop, a pause or resume before the start or after Stop. Pausing while paused and
  // resuming while running change nothing and return true.
  bool Start();
  bool Pause();
  bool Resume();
  // Returns once every session delivered its last frame and the last part is closed and reported. Once
  // stopped, the recording stays stopped: a second Stop does nothing and keeps the first stop time.
  void Stop();

  std::vector<Metric> GetMetrics() const;

 private:
  // Asks the state whether `step` may act; a refusal is logged, naming `what` was asked for.
  RecordingState::Verdict Take(RecordingState::Step step, const char* what);
  // Take, then `act` on every session (camera first) when the step acts. False when the step was refused.
  template <typename Act>
  bool TakeForEachSession(RecordingState::Step step, const char* what, Act act);

  HLSSink sink_;
  RecordingState state_;  // main thread, like every operation
  int64_t width_ = 0;
  int64_t height_ = 0;
  int64_t start_ns_ = 0;
  int64_t stop_ns_ = 0;
  // Declared after the sink: destroyed first, so no session writes into a destroyed sink. The screen recording
  // never exists beside the camera session.
  std::unique_ptr<CameraRecordingSession> camera_session_;
  std::unique_ptr<AudioRecordingSession> audio_session_;
  std::unique_ptr<ScreenRecording> screen_;
};

}  // namespace VellRecorder
