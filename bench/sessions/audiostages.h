// The audio session's stages, each run alone on the same sound (audiosession_bench): what the session's cost
// per second of sound would be if it were no more than its stages.
#pragma once

#include <string>

#include "cputime.h"

namespace VellRecorder {

// Captures from `endpoint` (a capture endpoint's name) for `seconds`, polling as the session does, then resamples,
// mixes and AAC-encodes what was captured, one stage after another, and prints each stage's CPU time per second of
// sound, and their sum. Under Wine the AAC encoder is the registered stand-in. Also prints, apart from the sum, what
// else the session does: muxing the frames into parts (written into `folder`) and playing its silence loop.
// In CPU ms per second of sound; zeros when a stage could not be built.
struct AudioStageSums {
  double stages = 0;     // capture, resample, mix, AAC encode
  double with_rest = 0;  // and muxing and the silence loop
};
AudioStageSums RunAudioStagesAlone(const std::wstring& endpoint, int seconds, const std::wstring& folder);

using Bench::ProcessCpuSeconds;

}  // namespace VellRecorder
