// The event loop of an asynchronous transform (hardware H.264 encoders are): the one that feeds it and the one
// that drains it. Needs no Windows API.
//
// An asynchronous encoder says through events when it wants input (METransformNeedInput) and when output is
// ready (METransformHaveOutput); it accepts one input per request. A step that waits for one event and, on
// "have output", collects the output but throws the step's frame away loses a frame every time output comes
// first; with an encoder that alternates the two events that is every other frame. This step instead delivers
// every output the encoder announces until it asks for input, then feeds the frame: no frame is dropped.
//
// The transform driver (MFT::FeedWhenAsked, MFT::DrainAndCollect) implements the port over its transform and
// its owner's delivery; statuses are HRESULTs (0 or positive: success), passed back unchanged.
#pragma once

#include <cstdint>

namespace VellRecorder {

// kStopping: the owner gave up waiting (it is stopping); the step ends without feeding its frame.
enum class EncoderEvent { kNeedInput, kHaveOutput, kDrainComplete, kStopping, kOther };

class AsyncEncoderPort {
 public:
  virtual ~AsyncEncoderPort() = default;
  // Blocks until the encoder raises its next event. `raw_type` is the event's own number (for kOther).
  virtual int32_t WaitForEvent(EncoderEvent* event, uint32_t* raw_type) = 0;
  // Gives the step's frame to the encoder.
  virtual int32_t FeedFrame() = 0;
  // Takes one ready output from the encoder and passes it on (to the sink).
  virtual int32_t DeliverOutput() = 0;
};

struct EncodeStep {
  int32_t status = 0;   // the first failure, or 0
  bool fed = false;     // the frame is in the encoder
  int delivered = 0;    // outputs passed on during the step
  bool drained = false; // the encoder reported its drain complete: it takes nothing more
};

// Feeds the step's frame through `port`, delivering whatever output the encoder announces first. Returns once
// the frame is in, or the encoder reported its drain complete, or a call failed (an unexpected event type
// fails with E_FAIL, logged as "mf event: " and its number). Keeps no state: the encoder keeps count of its
// own requests, and each one is answered in the step that receives it.
EncodeStep HandOverFrame(AsyncEncoderPort& port);

// After the drain was asked for: delivers one output per kHaveOutput until kDrainComplete (then status 0,
// drained), kStopping (status 0, not drained) or the first failing call. Requests for input and other events
// are passed over: the encoder may still announce them while it empties. Never calls FeedFrame.
EncodeStep DrainOutputs(AsyncEncoderPort& port);

}  // namespace VellRecorder
