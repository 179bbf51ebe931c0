#include "recorder/recordingstate.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace VellRecorder {
namespace {

using Step = RecordingState::Step;
using Verdict = RecordingState::Verdict;
constexpr Verdict kAct = Verdict::kAct;
constexpr Verdict kDone = Verdict::kAlreadyDone;
constexpr Verdict kRefuse = Verdict::kRefuse;

struct Taken {
  Step step;
  Verdict verdict;
  const char* reason = "";
};

// Each row is the life of one recording, step by step, from "recorder-init".
TEST(RecordingStateTest, StepsOutOfOrderAreRefusedAndAStoppedRecordingStaysStopped) {
  const char* kNotStarted = "the recording has not been started";
  const char* kRunning = "the recording is already running";
  const char* kFinal = "the recording has been stopped; its parts are final";
  const std::vector<std::vector<Taken>> lives = {
      {{Step::kStart, kAct}, {Step::kPause, kAct}, {Step::kResume, kAct}, {Step::kStop, kAct}},
      {{Step::kPause, kRefuse, kNotStarted}, {Step::kResume, kRefuse, kNotStarted}, {Step::kStart, kAct}},
      {{Step::kStart, kAct}, {Step::kStart, kRefuse, kRunning}, {Step::kPause, kAct},
       {Step::kStart, kRefuse, "the recording is already running (paused)"}, {Step::kResume, kAct}},
      {{Step::kStart, kAct}, {Step::kResume, kDone}, {Step::kPause, kAct}, {Step::kPause, kDone},
       {Step::kResume, kAct}},
      {{Step::kStart, kAct}, {Step::kStop, kAct}, {Step::kStart, kRefuse, kFinal}, {Step::kPause, kRefuse, kFinal},
       {Step::kResume, kRefuse, kFinal}, {Step::kStop, kDone}},
      {{Step::kStart, kAct}, {Step::kPause, kAct}, {Step::kStop, kAct}, {Step::kResume, kRefuse, kFinal}},
      {{Step::kStop, kAct}, {Step::kStart, kRefuse, kFinal}},
  };
  for (size_t life = 0; life < lives.size(); ++life) {
    RecordingState state;
    for (size_t i = 0; i < lives[life].size(); ++i) {
      const Taken& expected = lives[life][i];
      std::string reason;
      EXPECT_EQ(state.Take(expected.step, &reason), expected.verdict) << "life " << life << ", step " << i;
      EXPECT_EQ(reason, expected.reason) << "life " << life << ", step " << i;
    }
  }
}

}  // namespace
}  // namespace VellRecorder
