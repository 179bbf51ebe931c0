// Listens to a capture endpoint with WASAPI while the A/V stimulus plays, and finds each beep's onset on the
// performance counter's clock (from the capture packets' QPC positions): how long after its flash a beep reaches
// that endpoint is the stimulus's own latency, which a recording's A/V offset includes.
#pragma once

#include <windows.h>
#include <audioclient.h>

#include <cstdint>
#include <string>
#include <vector>

#include "utils/comptr.h"

namespace VellRecorder {

class AvSyncListener {
 public:
  // False when the endpoint cannot be opened (the stimulus then plays without listening).
  bool Open(const std::wstring& endpoint_name);
  // Reads what was captured; returns the onsets found since the last call, in 100-ns QPC units.
  std::vector<int64_t> Poll();

 private:
  ComPtr<IAudioClient> client_;
  ComPtr<IAudioCaptureClient> capture_;
  uint64_t quiet_samples_ = 0;
};

}  // namespace VellRecorder
