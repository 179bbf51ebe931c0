// Screen recording on the GPU: desktop duplication copies each desktop image into a Direct3D 11 texture, the
// Media Foundation video processor turns it into NV12 of the output size, and an H.264 encoder transform
// (hardware preferred) compresses it into the recording's HLSSink. One thread runs the pipeline, one loop per
// 28 ms. The Recorder falls back to the software session when Initialize fails, and when the thread ends on a
// failure it cannot recover from (it says so through the ended callback).
#pragma once

#include <windows.h>
#include <mfobjects.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

#include "d3d/d3d11frame.h"
#include "media_sources/video/ddasource.h"
#include "media_sources/video/videorecordingsettings.h"
#include "media_transforms/media_foundation/h264encoder.h"
#include "media_transforms/media_foundation/videoprocessor.h"
#include "muxers/hlssink.h"
#include "sessions/pauseledger.h"
#include "sessions/sampletimeline.h"
#include "utils/comptr.h"
#include "utils/scopedhandle.h"

struct IMFDXGIDeviceManager;

namespace VellRecorder {


class HWScreenRecordingSession {
 public:
  static constexpr int64_t kLoopIntervalMs = 28;
  // Between two attempts to duplicate a desktop that refuses it (secure desktop, lock screen).
  static constexpr int64_t kDuplicationRetryMs = 30;
  // Failed re-creations in a row after which a lost duplication counts as lost for good (about 3 s of refusals).
  static constexpr int kDuplicationAttempts = 100;
  // Inputs in a row the processor may keep without handing out a frame before it counts as broken.
  static constexpr int kHeldInputsLimit = 90;
  // How long the asynchronous encoder may stay silent while it holds a frame, and how long its final drain may
  // take: a transform that stops answering (a removed GPU) must not keep Stop waiting.
  static constexpr DWORD kEncoderSilenceMs = 2000;
  static constexpr DWORD kDrainLimitMs = 1000;
  // The slice of an encoder wait after which the stop flag is looked at.
  static constexpr DWORD kEventSliceMs = 50;

  // Why the capture thread ended on its own.
  enum class EndReason { kDuplicationLost, kCaptureFailed, kProcessorFailed, kEncoderFailed };
  // "duplication_lost", "capture_failed", "processor_failed", "encoder_failed".
  static const char* EndReasonName(EndReason reason);
  // Called on the capture thread as its last act when it ends on a failure (not after Stop), once the encoder's
  // output is muxed. It may start other work but must not call this session.
  using EndedCallback = std::function<void(EndReason)>;

  // The sink is borrowed and must outlive the session.
  HWScreenRecordingSession(VideoRecordingSettings settings, HLSSink* sink);
  ~HWScreenRecordingSession();
  HWScreenRecordingSession(const HWScreenRecordingSession&) = delete;
  HWScreenRecordingSession& operator=(const HWScreenRecordingSession&) = delete;

  // Windows 8 or later: the frame, the duplication source, the video processor and the encoder. E_NOTIMPL on
  // older systems; otherwise the first failure.
  HRESULT Initialize();
  // Sample times are measured from start_time_ns (MonotonicNowNs). Once, after a successful Initialize.
  void Start(int64_t start_time_ns);
  // The thread stops after the current loop; the paused time is left out of the time line.
  void Pause();
  void Resume();
  // Returns once the thread has muxed everything the encoder still held and ended; also while paused. Every
  // wait of the thread is bounded, whatever the transforms do (short of a transform call that never returns).
  void Stop();
  // Before Start.
  void SetEndedCallback(EndedCallback callback) { on_ended_ = std::move(callback); }

 private:
  HRESULT LoadVideoSource();
  HRESULT InitD3D11Frame();
  HRESULT LoadEncoder();
  IMFDXGIDeviceManager* GetD3DManagerPtr();
  DDASource* GetVideoSource();

  // Capture thread.
  void CaptureLoop();
  // False when the loop is to end (a failure, logged, or Stop).
  bool RunIteration();
  // One frame through the pipeline; on failure *reason says which stage failed (its record is logged).
  HRESULT ProcessFrame(EndReason* reason);
  // The thread ends on a failure: what the encoder held is muxed, and the owner is told.
  void EndOnFailure(EndReason reason);
  void WaitWhilePaused();
  HRESULT Capture(ComPtr<IMFSample>* sample);
  // After a lost duplication: retries while refused, then rebuilds the encoder once a duplication exists.
  // DXGI_ERROR_ACCESS_LOST once kDuplicationAttempts re-creations in a row failed.
  HRESULT RecoverDuplication();
  HRESULT PreProcess(IMFSample* sample, ComPtr<IMFSample>* processed);
  // Gives the encoder the processed frame and muxes whatever it hands out meanwhile.
  HRESULT Encode(IMFSample* processed);
  HRESULT EncodeAsync(IMFSample* processed);
  // The encoder's next event, waited for in slices: S_FALSE when Stop came first, kEventWaitTimedOut after
  // kEncoderSilenceMs of silence.
  HRESULT WaitForEncoderEvent(MediaEventType* type);
  // Everything the encoder still holds goes to the sink, within kDrainLimitMs.
  HRESULT Drain();
  void MuxEncoded(IMFSample* encoded);

  // Started by Start before the thread runs; then the capture thread's only.
  SampleTimeline timeline_;
  // Pause and Resume mark it; the capture thread leaves what ended out of the timeline (its threading rules).
  PauseLedger pauses_;
  // Capture thread only.
  KeyframeSchedule keyframes_;
  int failed_recreations_ = 0;  // re-creations of a lost duplication that failed in a row
  int held_inputs_ = 0;         // processor inputs in a row without an output
  bool sequence_header_given_ = false;  // the encoder's out-of-band parameter sets went to the sink
  EndedCallback on_ended_;      // set before Start, called by the capture thread

  const VideoRecordingSettings settings_;
  // Built by Initialize on the control thread; then the capture thread alone uses them (it also rebuilds the
  // encoder after a lost duplication). Destroyed in reverse order, after the thread has ended.
  D3D11Frame frame_;
  int d3d_version_ = 0;  // 1: frame_ is initialised
  std::unique_ptr<DDASource> video_source_;
  std::unique_ptr<MediaFoundation::VideoProcessor> video_processor_;
  std::unique_ptr<MediaFoundation::H264Encoder> encoder_;
  HLSSink* sink_;  // borrowed; serialises its own callers

  std::atomic<bool> paused_{false};
  std::atomic<bool> running_{false};
  // Auto-reset; set by Resume and by Stop, so that a paused thread also wakes up to drain and end.
  ScopedHandle resume_event_;
  // Started by Start, joined by Stop and the destructor, on the control thread.
  std::thread capture_thread_;
};

}  // namespace VellRecorder
