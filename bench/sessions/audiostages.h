// The audio session's stages, each run alone on the same sound (audiosession_bench): what the session's cost
// per second of sound would be if it were no more than its stages.
#pragma once

#include <string>

namespace VellRecorder {

// Captures from `endpoint` (a capture endpoint's name) for `seconds`, polling as the session does, then resamples,
// mixes and AAC-encodes what was captured, one stage after another, and prints each stage's CPU time per second of
// sound, and their sum. Under Wine the AAC encoder is the registered stand-in. Returns the sum in CPU ms per second
// of sound, or 0 when a stage could not be built. Also prints, apart from the sum, what else the session does:
// muxing the frames into parts (written into `folder`) and playing its silence loop.
double RunAudioStagesAlone(const std::wstring& endpoint, int seconds, const std::wstring& folder);

// This process's CPU time so far (kernel and user), in seconds.
double ProcessCpuSeconds();

}  // namespace VellRecorder
