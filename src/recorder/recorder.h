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

namespace VellRecorder {

class HWScreenRecordingSession;
class SWScreenRecordingSession;

class Recorder {
 public:
  using PartFinished = std::function<void(std::wstring)>;

  Recorder(std::wstring output_folder, PartFinished on_part_finished);
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;
  // Ends the sessions' threads, then closes and reports a part still open.
  ~Recorder();

  // Throws Exception when the display does not exist or no screen session can be built.
  void CreateScreenRecording(const std::wstring& display_name, RECT capture_rect, int32_t width, int32_t height);
  // Not available in this build: refused with an error record, nothing is recorded from them.
  void CreateCameraRecording(const std::wstring& camera_id, uint32_t width, uint32_t height);
  void CreateAudioRecording(bool system_audio, const std::wstring& microphone);

  void Start();
  void Pause();
  void Resume();
  // Returns once every session delivered its last frame and the last part is closed and reported.
  void Stop();

  std::vector<Metric> GetMetrics() const;

 private:
  HLSSink sink_;
  int64_t width_ = 0;
  int64_t height_ = 0;
  int64_t start_ns_ = 0;
  int64_t stop_ns_ = 0;
  // Declared after the sink: destroyed first, so no session writes into a destroyed sink. At most one of the
  // two screen sessions exists.
  std::unique_ptr<HWScreenRecordingSession> hw_screen_session_;
  std::unique_ptr<SWScreenRecordingSession> sw_screen_session_;
};

}  // namespace VellRecorder
