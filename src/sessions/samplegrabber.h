// The callback of a camera session's sample-grabber sink: every encoded H.264 access unit the media session
// delivers goes into the recording's sink as a video frame, timed on the recording's time line
// (CameraTimeline). A COM object with an atomic reference count.
#pragma once

#include <windows.h>
#include <mfidl.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "muxers/hlssink.h"
#include "sessions/cameratimeline.h"
#include "utils/comptr.h"

namespace VellRecorder {

class CSampleGrabber : public IMFSampleGrabberSinkCallback {
 public:
  // Asks the encoder for a keyframe; called on Media Foundation's thread with the grabber's lock held.
  using KeyframeRequest = std::function<void()>;
  // The encoder's sequence header (out-of-band SPS and PPS), empty when it has none; on Media Foundation's thread.
  using SequenceHeaderSource = std::function<std::vector<uint8_t>()>;

  // A new grabber for the borrowed sink in *grabber, with its one reference for the caller.
  static HRESULT CreateInstance(HLSSink* sink, KeyframeRequest request_keyframe, SequenceHeaderSource sequence_header,
                                CSampleGrabber** grabber);

  // IUnknown: IMFSampleGrabberSinkCallback, IMFClockStateSink and IUnknown are this object.
  STDMETHODIMP QueryInterface(REFIID riid, void** object) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  // IMFClockStateSink: the time line follows the clock through Pause and Resume below instead.
  STDMETHODIMP OnClockStart(MFTIME, LONGLONG) override { return S_OK; }
  STDMETHODIMP OnClockStop(MFTIME) override { return S_OK; }
  STDMETHODIMP OnClockPause(MFTIME) override { return S_OK; }
  STDMETHODIMP OnClockRestart(MFTIME) override { return S_OK; }
  STDMETHODIMP OnClockSetRate(MFTIME, float) override { return S_OK; }

  // IMFSampleGrabberSinkCallback, on Media Foundation's threads.
  STDMETHODIMP OnSetPresentationClock(IMFPresentationClock* clock) override;
  STDMETHODIMP OnProcessSample(REFGUID major_type, DWORD flags, LONGLONG sample_time, LONGLONG duration,
                               const BYTE* buffer, DWORD size) override;
  // Lets the clock go: it holds the sink, which holds this callback.
  STDMETHODIMP OnShutdown() override;

  // From the session's threads. The recording started at `start_ns` (monotonic clock), before any session.
  void Start(int64_t start_ns);
  // A media session started (its clock is read now); the camera was lost.
  void SessionStarted();
  void Lost(int64_t now_ns);
  // Read the presentation clock: the paused interval is cut out of the time line.
  void Pause();
  void Resume();
  // Once this returns no frame is written any more.
  void Stop();
  // Microseconds without the camera's video (CameraTimeline::LostUs), final after Stop.
  int64_t LostUs() const;
  // When the last frame came from the encoder, written or not (monotonic clock; 0 before any).
  int64_t LastSampleNs() const { return last_sample_ns_; }
  // Since when frames have come that could not be written for want of a keyframe (monotonic clock; 0 when the
  // last frame was written or none waits).
  int64_t KeyframeWaitSinceNs() const { return keyframe_wait_since_ns_; }

 private:
  CSampleGrabber(HLSSink* sink, KeyframeRequest request_keyframe, SequenceHeaderSource sequence_header)
      : sink_(sink), request_keyframe_(std::move(request_keyframe)), sequence_header_(std::move(sequence_header)) {}
  virtual ~CSampleGrabber() = default;
  // The presentation clock's time, 0 without a clock. Under mutex_.
  int64_t ClockTime() const;
  // Under mutex_, for a frame the time line did not take.
  void RequestKeyframeWhileWaiting(int64_t sample_time);

  static constexpr int64_t kKeyframeRequestInterval = 10000000;  // 100 ns

  std::atomic<ULONG> refs_{1};
  std::atomic<int64_t> last_sample_ns_{0};
  std::atomic<int64_t> keyframe_wait_since_ns_{0};  // written under mutex_, read by the session's event thread
  HLSSink* const sink_;  // borrowed; outlives the session
  const KeyframeRequest request_keyframe_;
  const SequenceHeaderSource sequence_header_;
  // Held for each frame from its stamp to the end of its mux, and by every control call: a Stop that returned
  // cannot be followed by a frame, and a pause cannot split a frame's stamp from its write. Taken before the
  // sink's own mutex, never after it.
  mutable std::mutex mutex_;
  ComPtr<IMFPresentationClock> clock_;  // guarded by mutex_
  CameraTimeline timeline_;             // guarded by mutex_
  KeyframeSchedule keyframes_;          // guarded by mutex_
  bool sequence_header_given_ = false;  // guarded by mutex_; each session's encoder gives its own
  // Sample time of the last keyframe asked for while waiting for one; guarded by mutex_.
  std::optional<int64_t> waiting_request_time_;
};

}  // namespace VellRecorder
