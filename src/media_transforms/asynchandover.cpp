#include "media_transforms/asynchandover.h"

#include "utils/log.h"

namespace VellRecorder {
namespace {

constexpr int32_t kUnexpectedEvent = static_cast<int32_t>(0x80004005u);  // E_FAIL

enum class Loop { kFeed, kDrain };

// The one loop of both: outputs are delivered as announced; a feed ends at the request for input, a drain
// passes over requests and other events, which the encoder may still raise while it empties.
EncodeStep RunEvents(AsyncEncoderPort& port, Loop loop) {
  EncodeStep step;
  for (;;) {
    EncoderEvent event = EncoderEvent::kOther;
    uint32_t raw_type = 0;
    step.status = port.WaitForEvent(&event, &raw_type);
    if (step.status < 0) return step;
    switch (event) {
      case EncoderEvent::kHaveOutput:
        step.status = port.DeliverOutput();
        if (step.status < 0) return step;
        ++step.delivered;
        break;
      case EncoderEvent::kDrainComplete:
        step.drained = true;
        return step;
      case EncoderEvent::kStopping:
        return step;
      case EncoderEvent::kNeedInput:
        if (loop == Loop::kDrain) break;
        step.status = port.FeedFrame();
        step.fed = step.status >= 0;
        return step;
      case EncoderEvent::kOther:
        if (loop == Loop::kDrain) break;
        LOG_ERROR << "mf event: " << raw_type;
        step.status = kUnexpectedEvent;
        return step;
    }
  }
}

}  // namespace

EncodeStep HandOverFrame(AsyncEncoderPort& port) { return RunEvents(port, Loop::kFeed); }

EncodeStep DrainOutputs(AsyncEncoderPort& port) { return RunEvents(port, Loop::kDrain); }

}  // namespace VellRecorder
