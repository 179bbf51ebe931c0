#include "media_transforms/asynchandover.h"

#include <gtest/gtest.h>

#include <deque>
#include <vector>

#include "testing/logcapture.h"

namespace VellRecorder {
namespace {

constexpr int32_t kFail = static_cast<int32_t>(0x80004005u);
constexpr int32_t kNotAccepting = static_cast<int32_t>(0xC00D36B5u);

// Answers WaitForEvent from a script; an exhausted script fails the wait instead of blocking.
class ScriptedPort : public AsyncEncoderPort {
 public:
  struct Event {
    EncoderEvent event;
    uint32_t raw_type;
  };
  explicit ScriptedPort(std::deque<Event> script) : script_(std::move(script)) {}

  int32_t WaitForEvent(EncoderEvent* event, uint32_t* raw_type) override {
    if (script_.empty()) return kNotAccepting;
    *event = script_.front().event;
    *raw_type = script_.front().raw_type;
    script_.pop_front();
    return 0;
  }
  int32_t FeedFrame() override { return feed_status; }
  int32_t DeliverOutput() override { return deliver_status; }

  int32_t feed_status = 0;
  int32_t deliver_status = 0;

 private:
  std::deque<Event> script_;
};

constexpr ScriptedPort::Event kNeed{EncoderEvent::kNeedInput, 601};
constexpr ScriptedPort::Event kHave{EncoderEvent::kHaveOutput, 602};
constexpr ScriptedPort::Event kDone{EncoderEvent::kDrainComplete, 603};
constexpr ScriptedPort::Event kStop{EncoderEvent::kStopping, 0};

// An encoder as hardware ones (and the asynchronous stand-in) behave: one request at the start, then for each
// input its output followed by the next request. The frame a step feeds is the step's number.
class AlternatingEncoder : public AsyncEncoderPort {
 public:
  int32_t WaitForEvent(EncoderEvent* event, uint32_t*) override {
    if (events_.empty()) return kNotAccepting;
    *event = events_.front();
    events_.pop_front();
    return 0;
  }
  int32_t FeedFrame() override {
    inside_.push_back(step);
    fed.push_back(step);
    events_.push_back(EncoderEvent::kHaveOutput);
    events_.push_back(EncoderEvent::kNeedInput);
    return 0;
  }
  int32_t DeliverOutput() override {
    delivered.push_back(inside_.front());
    inside_.pop_front();
    return 0;
  }

  int step = 0;
  std::vector<int> fed;
  std::vector<int> delivered;

 private:
  std::deque<EncoderEvent> events_{EncoderEvent::kNeedInput};
  std::deque<int> inside_;
};

TEST(AsyncHandOverTest, AnEncoderThatAnnouncesOutputBeforeEachRequestGetsEveryFrame) {
  AlternatingEncoder encoder;
  for (encoder.step = 1; encoder.step <= 30; ++encoder.step) {
    const EncodeStep step = HandOverFrame(encoder);
    EXPECT_EQ(step.status, 0);
    EXPECT_TRUE(step.fed) << "step " << encoder.step;
    EXPECT_EQ(step.delivered, encoder.step == 1 ? 0 : 1) << "step " << encoder.step;
  }
  std::vector<int> frames;
  for (int frame = 1; frame <= 30; ++frame) frames.push_back(frame);
  EXPECT_EQ(encoder.fed, frames);
  frames.pop_back();  // the last output is still inside, for the drain
  EXPECT_EQ(encoder.delivered, frames);
}

// A drain never feeds (its rows' feeds would fail) and passes over what is not an output.
TEST(AsyncHandOverTest, StepsEndOnTheRequestOnDrainCompleteOrOnTheFirstFailure) {
  struct Row {
    const char* name;
    bool drain;
    std::deque<ScriptedPort::Event> script;
    int32_t feed_status;
    int32_t deliver_status;
    EncodeStep expected;
    const char* log;
  };
  const Row rows[] = {
      {"outputs first", false, {kHave, kHave, kNeed, kHave}, 0, 0, {0, true, 2, false}, ""},
      {"drain complete", false, {kHave, kDone, kNeed}, 0, 0, {0, false, 1, true}, ""},
      {"owner stops", false, {kHave, kStop, kNeed}, 0, 0, {0, false, 1, false}, ""},
      {"unknown event", false, {{EncoderEvent::kOther, 605}, kNeed}, 0, 0, {kFail, false, 0, false}, "mf event: 605"},
      {"wait fails", false, {kHave}, 0, 0, {kNotAccepting, false, 1, false}, ""},
      {"delivery fails", false, {kHave, kNeed}, 0, kFail, {kFail, false, 0, false}, ""},
      {"feed refused", false, {kNeed}, kNotAccepting, 0, {kNotAccepting, false, 0, false}, ""},
      {"drain to the end", true, {kHave, kNeed, {EncoderEvent::kOther, 605}, kHave, kDone, kHave}, kFail, 0,
       {0, false, 2, true}, ""},
      {"drain, owner stops", true, {kHave, kStop, kHave}, kFail, 0, {0, false, 1, false}, ""},
      {"drain, wait fails", true, {kHave}, kFail, 0, {kNotAccepting, false, 1, false}, ""},
      {"drain, delivery fails", true, {kHave, kDone}, kFail, kFail, {kFail, false, 0, false}, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Testing::LogCapture log;
    ScriptedPort port(row.script);
    port.feed_status = row.feed_status;
    port.deliver_status = row.deliver_status;
    const EncodeStep step = row.drain ? DrainOutputs(port) : HandOverFrame(port);
    EXPECT_EQ(step.status, row.expected.status);
    EXPECT_EQ(step.fed, row.expected.fed);
    EXPECT_EQ(step.delivered, row.expected.delivered);
    EXPECT_EQ(step.drained, row.expected.drained);
    EXPECT_TRUE(log.Contains(row.log)) << log.Text();
    if (*row.log == '\0') {
      EXPECT_FALSE(log.Contains("mf event")) << log.Text();
    }
  }
}

}  // namespace
}  // namespace VellRecorder
