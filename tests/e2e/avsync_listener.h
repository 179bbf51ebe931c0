// Listens to a capture endpoint with WASAPI while the A/V stimulus plays, and finds each beep's onset on the
// performance counter's clock: how long after its flash a beep reaches that endpoint is the stimulus's own
// latency, which a recording's A/V offset includes.
//
// Under Wine a capture packet's QPC position is when the stream handed the packet over, which is late by a
// varying amount (tens of milliseconds under load). Taken as it is, that lateness would be measured as the
// stimulus's latency and wander with the load. A sample's time is `origin + position / rate` instead, with the
// origin the earliest that the packets within a second of it imply: the implied origin drifts slowly and jumps
// where sound was lost unreported, so only near packets are a guide (see kNear).
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
  // Reads what was captured so far; call it often, so that the endpoint's buffer never overflows.
  void Poll();
  // The onsets found so far, in 100-ns QPC units.
  std::vector<int64_t> Onsets() const;
  // How late the packets came after the times their origin gives them: median and largest, in ms.
  void PacketLateness(double* median_ms, double* max_ms) const;

 private:
  struct Packet {
    uint64_t position;  // samples since the stream (or its last gap) began
    int64_t implied_origin;  // the QPC time this packet gives the stretch's first sample
    size_t stretch;
  };
  int64_t OriginNear(size_t stretch, uint64_t position) const;

  ComPtr<IAudioClient> client_;
  ComPtr<IAudioCaptureClient> capture_;
  // Owned by the stimulus's one thread.
  uint64_t quiet_samples_ = 0;
  uint64_t position_ = 0;
  size_t stretch_ = 0;  // counts the gaps the endpoint reported: a gap breaks the position's time line
  std::vector<Packet> packets_;
  std::vector<std::pair<size_t, uint64_t>> onsets_;  // (stretch, position)
};

}  // namespace VellRecorder
