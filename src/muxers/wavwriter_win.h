// MakeSilenceWav for a Windows wave format.
#pragma once

#include <windows.h>
#include <mmreg.h>

#include "muxers/wavwriter.h"

namespace VellRecorder {

inline std::vector<uint8_t> MakeSilenceWav(const WAVEFORMATEX& format) {
  return MakeSilenceWav(PcmFormat{format.nChannels, format.nSamplesPerSec, format.nAvgBytesPerSec,
                                  format.nBlockAlign, format.wBitsPerSample});
}

}  // namespace VellRecorder
