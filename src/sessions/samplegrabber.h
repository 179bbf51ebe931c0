// The callback of a camera session's sample-grabber sink: every encoded H.264 access unit the media session
// delivers goes into the recording's sink as a video frame, timed on the recording's time line
// (CameraTimeline). A COM object with an atomic reference count.
#pragma once

#include <windows.h>
#include <mfidl.h>

#include <atomic>
#include <functional>
#include <mutex>
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

  // From the session's threads.
  void SessionStarted(int64_t delay_us);
  // Read the presentation clock: the paused interval is cut out of the time line.
  void Pause();
  void Resume();
  // Once this returns no frame is written any more.
  void Stop();

 private:
  CSampleGrabber(HLSSink* sink, KeyframeRequest request_keyframe, SequenceHeaderSource sequence_header)
      : sink_(sink), request_keyframe_(std::move(request_keyframe)), sequence_header_(std::move(sequence_header)) {}
  virtual ~CSampleGrabber() = default;
  // The presentation clock's time, 0 without a clock. Under mutex_.
  int64_t ClockTime() const;

  std::atomic<ULONG> refs_{1};
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
  bool sequence_header_given_ = false;  // guarded by mutex_
};

}  // namespace VellRecorder
