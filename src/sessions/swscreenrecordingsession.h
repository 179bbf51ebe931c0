// Screen recording entirely on the CPU: GDI capture, BGRA to I420 conversion and optional scaling with libyuv,
// H.264 encoding with OpenH264, into the recording's HLSSink. Used when the GPU pipeline cannot be built.
//
// Four threads (three when the output size equals the capture size), each stage handing its newest frame to
// the next through a SafeMFBuffer slot and an auto-reset event:
//
//   capture --captured_--> convert --converted_--> resize --encode_--> encode --> sink
//                                  `-------------encode_-------------'   (no resize)
//
// A slot holds one frame, so a stage that falls behind skips frames instead of queueing them. The capture
// thread takes the next frame only once the encoder has taken the previous one (and never faster than the
// frame rate): on a busy machine, frames captured faster would only be converted and then skipped.
// The capture thread is started by Initialize and makes one copy then, which is thrown away: a thread's first
// copy of the screen costs several times a later one (Wine opens the thread's own connection to the X server),
// and made after the start it would hold up the second frame by as much, hundreds of milliseconds on a busy
// machine.
// Every stage writes each frame into a buffer of its own for that frame, from the stage's pool: a buffer
// that has been published is never written again while any slot, stage or sample holds it, so a consumer may
// keep reading it after it let go of the slot's mutex; its memory is reused once nobody holds it.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

#include "media_sources/video/videorecordingsettings.h"
#include "media_sources/video/videosource.h"
#include "media_transforms/openh264/h264encoder.h"
#include "media_transforms/openh264/libyuvcolorconverter.h"
#include "media_transforms/mediabufferpool.h"
#include "media_transforms/safemfbuffer.h"
#include "muxers/hlssink.h"
#include "sessions/capturegate.h"
#include "sessions/framepacer.h"
#include "sessions/pauseledger.h"
#include "utils/scopedhandle.h"

namespace VellRecorder {

class SWScreenRecordingSession {
 public:
  // The sink is borrowed and must outlive the session.
  SWScreenRecordingSession(VideoRecordingSettings settings, HLSSink* sink);
  ~SWScreenRecordingSession();
  SWScreenRecordingSession(const SWScreenRecordingSession&) = delete;
  SWScreenRecordingSession& operator=(const SWScreenRecordingSession&) = delete;

  // Creates the GDI source, the converter, the encoder and the events, and starts the capture thread, which
  // copies the screen once and waits for Start. Throws Exception when OpenH264 cannot be created or initialised.
  HRESULT Initialize();
  // The same with another source; it must capture to system memory.
  HRESULT Initialize(std::unique_ptr<VideoSource> source);
  // Starts the pipeline; frame times are measured from start_time_ns (MonotonicNowNs). Once per recording,
  // after a successful Initialize.
  void Start(int64_t start_time_ns);
  // Capture stops until Resume; the paused time is left out of the time line. Later stages finish what
  // was already captured.
  void Pause();
  void Resume();
  // Ends every thread, wherever it waits, and returns when all have left. Safe to call more than once.
  void Stop();

  // The encoder's frame rate; capture is paced to it.
  static constexpr uint8_t kFrameRate = 30;
  static constexpr uint8_t kIdrInterval = 30;

 private:
  bool Resizes() const;

  // Thread bodies.
  void CapturingSession();
  // The copy that makes a thread's first one, then the wait for Start; false when the session stops first.
  bool WarmUpAndWaitForStart();
  void ConvertingSession();
  void ResizingSession();
  void EncodingSession();

  // Capture thread helpers. False when the session is stopping.
  bool WaitUntilEncoderReady();
  bool WaitUntilCaptureDue();
  void WaitWhilePaused();
  bool CaptureFrame();
  // Waits for `event` or for Stop; false when the session is stopping.
  bool WaitForFrame(HANDLE event) const;
  // Takes a reference to the newest frame in `slot` and copies its timing to `own`, under the slot's
  // mutex. Null when the slot holds nothing newer than `*last_time_us`, which is then advanced.
  static ComPtr<IMFMediaBuffer> TakeNewest(SafeMFBuffer* slot, SafeMFBuffer* own, int64_t* last_time_us);
  bool ResizeFrame(IMFMediaBuffer* converted);
  void EncodeFrame();
  // The frame of this time reached the encoder or was dropped: the capture may take the next one.
  void ReleaseFrame(int64_t time_us);

  std::atomic<bool> running_{false};
  std::atomic<bool> paused_{false};
  // Pause and Resume mark it; the capture thread leaves what ended out of its frame clock (its threading rules).
  PauseLedger pauses_;
  int64_t start_time_ns_ = 0;  // control thread, before the threads start

  // Slot ownership: the named thread alone stamps, fills and publishes its own slots; the consumer of a
  // hand-off slot reads it only under its mutex.
  SafeMFBuffer capture_;    // capture thread's frame being captured
  SafeMFBuffer captured_;   // capture -> convert
  SafeMFBuffer convert_;    // convert thread's converted frame
  SafeMFBuffer converted_;  // convert -> resize (when resizing)
  SafeMFBuffer resize_;     // resize thread's scaled frame
  SafeMFBuffer encode_;     // convert or resize -> encode

  // Created by Initialize on the control thread; then each is used by one pipeline thread only
  // (source: capture, converter: convert, encoder: encode).
  std::unique_ptr<VideoSource> source_;
  std::unique_ptr<Libyuv::ColorConverter> converter_;
  std::unique_ptr<OpenH264::H264Encoder> encoder_;
  // Frame memory of the capture and resize stages (the converter keeps its own).
  std::unique_ptr<MediaBufferPool> capture_pool_;
  std::unique_ptr<MediaBufferPool> resize_pool_;
  HLSSink* sink_;  // borrowed; used by the encode thread, serialises its own writes

  // Started by Start (the capture thread by Initialize), joined by Stop and the destructor, on the control thread.
  std::thread capture_thread_;
  std::thread resize_thread_;
  std::thread convert_thread_;
  std::thread encode_thread_;

  // Auto-reset: a stage that falls behind sees several publications as one and takes the newest frame.
  ScopedHandle captured_event_;
  ScopedHandle converted_event_;
  ScopedHandle resized_event_;
  ScopedHandle resume_event_;
  // Auto-reset, set whenever a frame is released and by Pause: wakes the capture thread waiting for the encoder.
  ScopedHandle ready_event_;
  // Manual-reset, set by the capture thread once its first copy is made; Initialize waits for it.
  ScopedHandle warmed_event_;
  // Manual-reset, set by Start once the start time and the slots are set: the capture thread begins.
  ScopedHandle start_event_;
  // Manual-reset, set by Stop: wakes every wait of every thread (stage events, pacing, pause) for good.
  ScopedHandle stop_event_;

  // Owned by the capture thread.
  FramePacer pacer_;
  // Published by the capture thread, released by the later stages (see CaptureGate).
  CaptureGate gate_;
  // Time of the newest frame each stage took, so that a signal left over from a frame already taken does
  // not make a stage process (and the sink receive) the same frame twice. Each owned by its stage's thread.
  int64_t converted_time_us_ = -1;
  int64_t resized_time_us_ = -1;
  int64_t encoded_time_us_ = -1;
  // Owned by the encoding thread.
  KeyframeSchedule keyframes_;

  const VideoRecordingSettings settings_;
};

}  // namespace VellRecorder
