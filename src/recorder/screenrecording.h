// The screen half of a recording: the GPU session when it can be built, else the software session; and the
// software session again when the GPU session's thread ends on a failure mid-recording (a desktop duplication
// lost for good, a transform that broke), so that the picture goes on instead of stopping silently.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "media_sources/video/videorecordingsettings.h"
#include "muxers/hlssink.h"
#include "sessions/hwscreenrecordingsession.h"

namespace VellRecorder {

class SWScreenRecordingSession;

class ScreenRecording {
 public:
  // What the metrics say of the screen.
  struct Outcome {
    bool hardware = false;         // the GPU session recorded to the end
    std::string ended_reason;      // why the GPU session ended mid-recording; empty when it did not
    int64_t ended_ns = 0;          // when, on the monotonic clock
    bool software_took_over = false;
  };

  // The sink is borrowed and must outlive the recording.
  ScreenRecording(VideoRecordingSettings settings, HLSSink* sink);
  ~ScreenRecording();
  ScreenRecording(const ScreenRecording&) = delete;
  ScreenRecording& operator=(const ScreenRecording&) = delete;

  // False when neither session can be built. An exception of the software session's passes through.
  bool Initialize();
  void Start(int64_t start_ns);
  void Pause();
  void Resume();
  // Returns once every session delivered its last frame, a fallback under way included.
  void Stop();

  Outcome GetOutcome() const;

 private:
  // On the GPU session's capture thread, as it ends.
  void OnHardwareEnded(HWScreenRecordingSession::EndReason reason);
  // Builds and starts the software session in place of the ended GPU one. Under mutex_.
  bool TakeOverInSoftware(int64_t now_ns);

  const VideoRecordingSettings settings_;
  HLSSink* const sink_;
  // Built by Initialize; then only the control thread calls it. Its thread may build sw_ (OnHardwareEnded).
  std::unique_ptr<HWScreenRecordingSession> hw_;

  // Guards what follows: the control thread and the GPU session's ending thread both reach it.
  mutable std::mutex mutex_;
  std::unique_ptr<SWScreenRecordingSession> sw_;
  int64_t start_ns_ = 0;
  bool paused_ = false;
  bool stopping_ = false;
  int64_t pause_began_ns_ = 0;
  int64_t paused_ns_ = 0;  // pauses that ended
  Outcome outcome_;
};

}  // namespace VellRecorder
