#include "media_transforms/asynchandover.h"

#include "utils/log.h"

namespace VellRecorder {
namespace {

constexpr int32_t kUnexpectedEvent = static_cast<int32_t>(0x80004005u);  // E_FAIL

}  // namespace

EncodeStep HandOverFrame(AsyncEncoderPort& port) {
  EncodeStep step;
  for (;;) {
    EncoderEvent event = EncoderEvent::kOther;
    uint32_t raw_type = 0;
    step.status = port.WaitForEvent(&event, &raw_type);
    if (step.status < 0) return step;
    switch (event) {
      case EncoderEvent::kNeedInput:
        step.status = port.FeedFrame();
        step.fed = step.status >= 0;
        return step;
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
      case EncoderEvent::kOther:
        LOG_ERROR << "mf event: " << raw_type;
        step.status = kUnexpectedEvent;
        return step;
    }
  }
}

EncodeStep DrainOutputs(AsyncEncoderPort& port) {
  EncodeStep step;
  for (;;) {
    EncoderEvent event = EncoderEvent::kOther;
    uint32_t raw_type = 0;
    step.status = port.WaitForEvent(&event, &raw_type);
    if (step.status < 0 || event == EncoderEvent::kStopping) return step;
    if (event == EncoderEvent::kDrainComplete) {
      step.drained = true;
      return step;
    }
    if (event != EncoderEvent::kHaveOutput) continue;
    step.status = port.DeliverOutput();
    if (step.status < 0) return step;
    ++step.delivered;
  }
}

}  // namespace VellRecorder
