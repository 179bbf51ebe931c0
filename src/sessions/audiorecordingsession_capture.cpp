// The capture thread's side of each source: taking its packets, placing them at their capture times, and keeping
// its place while its endpoint is lost.
#include <mfapi.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "media_transforms/recordingaudio.h"
#include "sessions/audiorecordingsession.h"
#include "tracehr.h"
#include "utils/clock.h"
#include "utils/log.h"

namespace VellRecorder {

void AudioRecordingSession::Capture(Lane* lane, int64_t now_ns) {
  if (lane->lost) return;
  CaptureResult result;
  const HRESULT hr = lane->source->Capture(lane->ring.get(), &result);
  // What reached the ring before a failure is placed all the same.
  if (result.bytes != 0) {
    lane->sound_at_ns = now_ns;
    Place(lane, result);
  }
  if (FAILED(hr)) {
    Lose(lane, HrTextWithCode(hr));
    return;
  }
  // A capture endpoint delivers packets all the time, silent or not (loopback only while something plays): one that
  // stops is as lost as one that fails (under Wine, a monitor whose sink went away may do either).
  const int64_t allowed_ns = lane->placement.Begun() ? kSilenceLostNs : kFirstPacketLostNs;
  if (lane->source->GetConfig().flow != 0 && now_ns - lane->sound_at_ns > allowed_ns) {
    Lose(lane, "no packet for " + std::to_string((now_ns - lane->sound_at_ns) / 1000000) + " ms");
  }
}

void AudioRecordingSession::Place(Lane* lane, const CaptureResult& result) {
  const WAVEFORMATEX& format = *lane->source->GetCaptureFormat();
  // Without a device position, the bytes were captured over the time they last, up to now at the latest.
  const int64_t first_ns =
      result.first_packet_qpc_100ns > 0
          ? result.first_packet_qpc_100ns * 100
          : MonotonicNowNs() - CounterToNanoseconds(static_cast<int64_t>(result.bytes), format.nAvgBytesPerSec);
  if (!lane->placement.Begun()) {
    lane->placement.Begin(first_ns, format.nAvgBytesPerSec, format.nBlockAlign);
    lane->captured_bytes = result.bytes;
    lane->awaiting_sound = false;
    return;
  }
  int64_t correction = 0;
  if (result.gap_qpc_100ns > 0) {
    FillLostSound(lane, result);
    // The packet after the gap, behind the silence put before it.
    correction = lane->placement.Observe(result.gap_qpc_100ns * 100, lane->captured_bytes + result.bytes_before_gap);
  } else {
    correction = lane->placement.Observe(first_ns, lane->captured_bytes);
  }
  lane->captured_bytes += result.bytes;
  if (correction != 0) Correct(lane, correction);
}

// Polled again, a failed endpoint would fail every 25 ms (and log each time): it is left alone until it is listed
// again, and silence stands for it meanwhile (FillWhileLost).
void AudioRecordingSession::Lose(Lane* lane, const std::string& why) {
  lane->lost = true;
  lane->awaiting_sound = false;
  lane->lost_at_ns = MonotonicNowNs();
  lane->next_check_ns = lane->lost_at_ns + kCheckIntervalNs;
  LOG_ERROR << DescribeSource(lane->source->GetConfig()) << " stopped delivering sound (" << why
            << "): silence takes its place until it can be opened again";
}

void AudioRecordingSession::Watch(Lane* lane, int64_t now_ns) {
  if (now_ns < lane->next_check_ns) return;
  lane->next_check_ns = now_ns + kCheckIntervalNs;
  if (lane->lost) {
    if (lane->source->EndpointPresent()) Reopen(lane, now_ns);
    return;
  }
  if (!lane->source->DefaultEndpointMoved()) return;
  LOG_WARNING << DescribeSource(lane->source->GetConfig()) << " follows the default device to another endpoint";
  Reopen(lane, now_ns);
}

void AudioRecordingSession::Reopen(Lane* lane, int64_t now_ns) {
  const bool was_lost = lane->lost;
  HRESULT hr = lane->source->Initialize();
  // Another device by that name, or another default device, may capture in another format.
  const WAVEFORMATEXTENSIBLE* format = lane->source->GetCaptureFormatExtensible();
  if (SUCCEEDED(hr) && std::memcmp(format, &lane->format, sizeof(lane->format)) != 0) hr = BuildConversion(lane);
  if (FAILED(hr)) {
    // Looked for again in a second (the failing step is traced by the source).
    if (!was_lost) Lose(lane, HrTextWithCode(hr));
    return;
  }
  ResetStretch(lane);
  lane->lost = false;
  lane->awaiting_sound = true;
  lane->reopened = true;
  lane->sound_at_ns = now_ns;
  if (was_lost) {
    LOG_ERROR << DescribeSource(lane->source->GetConfig()) << " is back after "
              << (now_ns - lane->lost_at_ns) / 1000000 << " ms: recorded again";
  }
}

void AudioRecordingSession::ResetStretch(Lane* lane) {
  lane->ring->Clear();
  lane->staged.clear();
  lane->resampler->GetTransform()->ProcessMessage(MFT_MESSAGE_COMMAND_FLUSH, 0);
  lane->placement.Reset();
  lane->captured_bytes = 0;
  lane->held.clear();
  lane->in_mix = false;
}

void AudioRecordingSession::FillWhileLost(size_t index, Lane* lane, int64_t now_ns) {
  if (!lane->lost && !lane->awaiting_sound) return;
  if (!timeline_.Anchored()) timeline_.Anchor(stretch_began_ns_, &chunker_);
  const uint64_t samples = timeline_.LeadingSilence(now_ns - kLostFillLagNs, LanePosition(index));
  if (samples == 0) return;
  const std::vector<uint8_t> silence(static_cast<size_t>(samples) * RecordingAudio::kBlockAlign);
  mixer_->Append(index, silence.data(), silence.size());
  lane->lost_ns += CounterToNanoseconds(static_cast<int64_t>(samples), AudioChunker::kSampleRate);
}

// Samples are stamped by their count, so sound the endpoint lost (an overrun while the thread was held up) or
// that did not fit the ring would pull all later sound earlier than its picture. Silence takes the lost sound's
// place, between the bytes before the gap and those after it (both wait in the ring, behind the staged bytes).
void AudioRecordingSession::FillLostSound(Lane* lane, const CaptureResult& result) {
  const uint64_t silence =
      lane->placement.GapSilence(result.gap_qpc_100ns * 100, lane->captured_bytes + result.bytes_before_gap);
  if (silence == 0) return;
  const size_t staged = lane->staged.size();
  lane->staged.resize(staged + result.bytes_before_gap);
  lane->ring->Read(lane->staged.data() + staged, result.bytes_before_gap);
  AppendSilence(lane, silence);
  const uint32_t rate = lane->source->GetCaptureFormat()->nAvgBytesPerSec;
  lane->lost_ns += CounterToNanoseconds(static_cast<int64_t>(silence), rate);
  if (!fill_logged_) {
    fill_logged_ = true;
    LOG_WARNING << DescribeSource(lane->source->GetConfig()) << " lost "
                << CounterToNanoseconds(static_cast<int64_t>(silence), rate) / 1000000
                << " ms of sound: silence takes its place; later losses are only counted";
  }
}

// Silence after the staged bytes, placed and counted as sound the endpoint did not deliver.
void AudioRecordingSession::AppendSilence(Lane* lane, uint64_t bytes) {
  lane->staged.insert(lane->staged.end(), static_cast<size_t>(bytes), 0);
  lane->captured_bytes += bytes;
  filled_bytes_ += bytes;
}

// Brings the sound placed so far back to its capture times (see CapturePlacement): silence after it, or its last
// bytes left out, as many as wait for the resampler.
void AudioRecordingSession::Correct(Lane* lane, int64_t bytes) {
  lane->ring->ReadAll(&lane->staged);
  if (bytes > 0) {
    AppendSilence(lane, static_cast<uint64_t>(bytes));
    return;
  }
  const WAVEFORMATEX& format = *lane->source->GetCaptureFormat();
  const uint32_t block = format.nBlockAlign;
  size_t drop = std::min(static_cast<size_t>(-bytes), lane->staged.size());
  drop -= drop % block;
  lane->staged.resize(lane->staged.size() - drop);
  lane->captured_bytes -= drop;
  dropped_ahead_bytes_ += drop;
  if (drop_logged_ || drop == 0) return;
  drop_logged_ = true;
  LOG_WARNING << DescribeSource(lane->source->GetConfig()) << " ran "
              << CounterToNanoseconds(static_cast<int64_t>(drop), format.nAvgBytesPerSec) / 1000000
              << " ms ahead of its capture times: that much is left out; later corrections are only counted";
}

}  // namespace VellRecorder
