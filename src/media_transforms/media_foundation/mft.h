// The one driver of every Media Foundation transform the daemon uses (H.264 encoder, video processor, audio
// resampler, AAC encoder). It hides the push/pull protocol behind two calls: feed one sample (ProcessInput)
// and collect whatever output is ready into one sample (ProcessOutput); Encode does both. Asynchronous
// transforms (hardware encoders) are unlocked here and fed through FeedWhenAsked, the one event loop.
#pragma once

#include <windows.h>
#include <mfidl.h>
#include <mfobjects.h>
#include <mftransform.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "media_transforms/media_foundation/eventwait.h"
#include "utils/comptr.h"

namespace VellRecorder::MediaFoundation {

// A new video media type with what every type of the daemon's transforms states: major type, subtype, frame
// size and progressive frames.
HRESULT CreateVideoType(const GUID& subtype, UINT32 width, UINT32 height, ComPtr<IMFMediaType>* type);

// Threading: no lock. One thread drives a transform at a time: the owner initialises and destroys it while no
// encoding thread runs, and the encoding thread alone calls Encode, ProcessInput, ProcessOutput, WaitForEvent
// and Drain.
class MFT {
 public:
  // Receives each output of a transform: borrowed for the call.
  using Deliver = std::function<void(IMFSample*)>;
  // Waits for the next event of an asynchronous transform: S_OK with its type, S_FALSE when the owner gives up
  // waiting (it is stopping), or a failure.
  using EventSource = std::function<HRESULT(MediaEventType*)>;

  MFT() = default;
  virtual ~MFT();
  MFT(const MFT&) = delete;
  MFT& operator=(const MFT&) = delete;

  // ProcessInput, then ProcessOutput. A sample refused with MF_E_NOTACCEPTING is dropped, not retried, and
  // the output is still collected. Returns S_OK (output in *out) or MF_E_TRANSFORM_NEED_MORE_INPUT (none
  // yet); anything else is a failure.
  virtual HRESULT Encode(IMFSample* in, ComPtr<IMFSample>* out);

  // Creates the transform by class id, releasing any previous one.
  virtual HRESULT CreateMFT(const CLSID& clsid);

  // Feeds one sample. MF_E_NOTACCEPTING is returned silently. No sample is kept: an accepted sample's time
  // and duration are, until the next output is assembled, to stamp that output.
  virtual HRESULT ProcessInput(IMFSample* sample);

  // Collects what the transform has ready into one new sample in *out (whatever *out held is released):
  // everything a synchronous transform has, one piece for an asynchronous transform that provides its
  // samples, or one piece with outputs_are_whole_frames_. The sample carries the last accepted input's time
  // and the summed durations of the inputs since the previous output, never the transform's own timestamps;
  // except that with
  // outputs_carry_input_times_, an output whose own time is that of a pending input carries that input's time
  // and the durations up to it, and the later inputs stay pending for the outputs still to come. S_OK with pieces; with none,
  // MF_E_TRANSFORM_NEED_MORE_INPUT or a failure, never S_OK. A stream change is renegotiated
  // (RenegotiateOutputType) and the output collected on; a transform that changes its stream again and again
  // within one call fails it with MF_E_TRANSFORM_STREAM_CHANGE.
  virtual HRESULT ProcessOutput(ComPtr<IMFSample>* out);

  // Size of the output buffers offered to transforms that do not provide their own, when the transform
  // asks for less.
  virtual uint32_t GetMinOutputBufferSize() const { return 0; }

  // Reads MF_TRANSFORM_ASYNC and unlocks an asynchronous transform. A transform without attributes
  // (E_NOTIMPL) is synchronous.
  HRESULT DetectAsyncMFT();
  bool IsAsync() const { return is_async_; }
  // Sets MF_TRANSFORM_ASYNC_UNLOCK: an asynchronous transform accepts no other call before it.
  HRESULT EnableAsyncMFT();
  // Asynchronous transforms only (does nothing for synchronous ones): unlock, take the event generator,
  // and announce the start of the stream so that the transform begins asking for input.
  HRESULT NotifyStartOfStreeam();
  // Hands the transform a DXGI device manager (an IMFDXGIDeviceManager*), or detaches it with 0.
  HRESULT SetDirect3DManager(ULONG_PTR manager);
  // Logs "Selected H264 mft: " and the transform's friendly name at warning severity; failures ignored.
  void LogMFTName();

  // Waits at most `timeout_ms` for the asynchronous transform's next event and gives its type;
  // kEventWaitTimedOut when none came (a later wait still gets it). Fails when the stream was not started with
  // NotifyStartOfStreeam.
  HRESULT WaitForEvent(MediaEventType* type, DWORD timeout_ms = INFINITE);

  // Announces the end of the stream and asks the transform to hand out everything it holds. The caller
  // then collects the rest (see DrainAndCollect).
  HRESULT Drain();

  // Drain, then every remaining output to `deliver`: for an asynchronous transform until
  // METransformDrainComplete (one output per METransformHaveOutput), for a synchronous one until it has no
  // more output. A failing WaitForEvent or ProcessOutput ends the collection with that failure, so a broken
  // transform cannot keep the caller in the loop; outputs already delivered stay delivered. An asynchronous
  // transform that has not completed its drain within `timeout_ms` ends it with kEventWaitTimedOut.
  HRESULT DrainAndCollect(const Deliver& deliver, DWORD timeout_ms = INFINITE);

  // Asynchronous transforms: waits through `wait` (WaitForEvent without a limit when empty) until the
  // transform asks for input, handing every output it announces first to `deliver`, then feeds `in`: no frame
  // is dropped when output comes first. S_OK: `in` was accepted. S_FALSE: it was left out because `wait`
  // gave up or the transform reported its drain complete. Otherwise the first failure (an unexpected event is
  // E_FAIL, logged as "mf event: " and its number); outputs already delivered stay delivered.
  HRESULT FeedWhenAsked(IMFSample* in, const Deliver& deliver, const EventSource& wait = {});

  IMFTransform* GetTransform() const { return transform_.Get(); }

 protected:
  // After MF_E_TRANSFORM_STREAM_CHANGE: sets the output type the transform now offers first. A subclass that
  // chose its output type itself sets it again instead.
  virtual HRESULT RenegotiateOutputType();

  // Members in the order of their meaning; the destructor releases them in its own documented order.
  ComPtr<IMFMediaType> input_type_;   // set by the subclass's media type setup
  ComPtr<IMFMediaType> output_type_;  // set by the subclass's media type setup
  ComPtr<IMFTransform> transform_;
  ComPtr<IMFMediaBuffer> output_buffer_;  // the buffer last offered for output (caller-allocated mode)
  ComPtr<IMFSample> output_sample_;       // the sample wrapping output_buffer_
  // The times of the inputs accepted since the last assembled output. Times only, not the samples: a sample
  // can belong to the transform before (a processor's pooled output), which may take it back only once every
  // holder let go; holding it until the output comes (frames later, from an encoder that holds frames) starves
  // that pool.
  struct InputTiming {
    std::optional<int64_t> time;      // 100-ns units
    std::optional<int64_t> duration;  // 100-ns units
  };
  std::vector<InputTiming> pending_inputs_;
  bool is_async_ = false;                          // asynchronous and unlocked
  ComPtr<IMFMediaEventGenerator> event_generator_;  // asynchronous transforms, after the stream starts
  int64_t last_input_time_ = 0;   // 100-ns units
  int64_t pending_duration_ = 0;  // 100-ns units, inputs since the last assembled output
  // Set by subclasses whose transform passes each input's time on to the output made from it and may hand that
  // output out inputs later (encoders that hold frames): stamping each output with the last input's time would
  // give held frames later times, all drained frames one time.
  bool outputs_carry_input_times_ = false;
  // Set by subclasses whose transform hands out one whole frame per call and may have several waiting (the AAC
  // encoder, which releases frames in groups): each is an output of its own, framed and stamped on its own.
  // Merged, two frames would go out as one, behind one header.
  bool outputs_are_whole_frames_ = false;
  EventWait event_wait_;          // of event_generator_

 private:
  enum class Step { kPiece, kLastPiece, kRenegotiated, kStop, kAbort };
  // Stamps an assembled output with the timing of its inputs and lets go of them (see ProcessOutput).
  void StampOutput(IMFSample* out);
  std::optional<int64_t> piece_time_;  // the transform's own time on the last piece collected
  // One ProcessOutput call on the transform. kPiece/kLastPiece: a piece was appended to `result` (the
  // last one this call may take); kRenegotiated: the stream changed and the new output type is set;
  // kStop: the collection ends with *hr; kAbort: the whole call fails with *hr, whatever was collected.
  Step CollectPiece(const MFT_OUTPUT_STREAM_INFO& info, IMFSample* result, HRESULT* hr);
  void ShutdownTransform();
};

}  // namespace VellRecorder::MediaFoundation
