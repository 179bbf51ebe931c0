// The capture thread's work on the captured bytes: resampling, mixing, chunking, encoding and muxing.
#include <mfapi.h>
#include <mferror.h>

#include <algorithm>
#include <cstring>

#include "media_transforms/adtsheader.h"
#include "media_transforms/bufferloader.h"
#include "media_transforms/recordingaudio.h"
#include "muxers/hlssink.h"
#include "sessions/audiorecordingsession.h"
#include "tracehr.h"
#include "utils/clock.h"
#include "utils/log.h"

namespace VellRecorder {
namespace {

// A frame must fit the 13-bit length of its ADTS header.
constexpr size_t kMaxAdtsPayload = 8191 - kAdtsHeaderSize;
// Bounds the loops over a transform's output, so that one that never runs dry cannot hold the thread.
constexpr int kMaxOutputsPerCall = 16;

HRESULT WrapBytes(const uint8_t* bytes, size_t length, int64_t time, int64_t duration, ComPtr<IMFSample>* sample) {
  ComPtr<IMFMediaBuffer> buffer;
  RETURN_IF_FAILED(MFCreateMemoryBuffer(static_cast<DWORD>(length), buffer.ReleaseAndGetAddressOf()));
  BYTE* data = nullptr;
  RETURN_IF_FAILED(buffer->Lock(&data, nullptr, nullptr));
  std::memcpy(data, bytes, length);
  buffer->Unlock();
  RETURN_IF_FAILED(buffer->SetCurrentLength(static_cast<DWORD>(length)));
  RETURN_IF_FAILED(MFCreateSample(sample->ReleaseAndGetAddressOf()));
  RETURN_IF_FAILED((*sample)->AddBuffer(buffer.Get()));
  RETURN_IF_FAILED((*sample)->SetSampleTime(time));
  RETURN_IF_FAILED((*sample)->SetSampleDuration(duration));
  return S_OK;
}

}  // namespace

void AudioRecordingSession::Resample(size_t index, Lane* lane) {
  lane->ring->ReadAll(&lane->staged);
  if (lane->staged.empty()) return;
  ComPtr<IMFSample> sample;
  HRESULT hr = WrapBytes(lane->staged.data(), lane->staged.size(), 0, 0, &sample);
  if (SUCCEEDED(hr)) {
    hr = lane->resampler->ProcessInput(sample.Get());
    // Full: it takes more once its output is collected.
    if (hr == MF_E_NOTACCEPTING) {
      CollectResampled(index, lane);
      hr = lane->resampler->ProcessInput(sample.Get());
    }
  }
  if (hr == S_OK) {
    lane->staged.clear();
    CollectResampled(index, lane);
    return;
  }
  // Still full: offered again next turn with what arrives meanwhile, up to a second of sound.
  if (hr == MF_E_NOTACCEPTING && lane->staged.size() < lane->ring->Capacity()) return;
  CountRefusal(kResamplerRefusal, lane->staged.size(), hr);
  lane->staged.clear();
}

void AudioRecordingSession::CollectResampled(size_t index, Lane* lane) {
  for (int call = 0; call < kMaxOutputsPerCall; ++call) {
    ComPtr<IMFSample> out;
    if (lane->resampler->ProcessOutput(&out) != S_OK) return;
    BufferLoader loader(out.Get());
    const auto bytes = loader.LoadCurrentLength();
    if (bytes && bytes->length > 0) AppendResampled(index, lane, bytes->data, bytes->length & ~1u);
  }
}

void AudioRecordingSession::AppendResampled(size_t index, Lane* lane, const uint8_t* pcm, size_t length) {
  if (lane->in_mix) {
    mixer_->Append(index, pcm, length);
    return;
  }
  // Held back until the stretch's first byte has its time for good.
  lane->held.insert(lane->held.end(), pcm, pcm + length);
  if (lane->placement.Settled()) EnterMix(index, lane);
}

void AudioRecordingSession::EnterMix(size_t index, Lane* lane) {
  PlaceInStretch(index, lane);
  // The padding so far is in the place just given; what comes later is counted with the source's bytes.
  lane->padding.Restart(mixer_->SilenceFilledBytes(index), lane->format.Format.nAvgBytesPerSec,
                        lane->format.Format.nBlockAlign);
  lane->in_mix = true;
  mixer_->Append(index, lane->held.data(), lane->held.size());
  lane->held.clear();
}

uint64_t AudioRecordingSession::LanePosition(size_t index) const {
  return timeline_.StretchSamples() + mixer_->Pending(index) / RecordingAudio::kBlockAlign;
}

// A stretch begins on the time line where it began on the clock (the recording's start, or the resume); each
// source's first sound is preceded by silence up to its own capture time, so that the sources stay aligned and
// the sound lasts as long as the picture even though an endpoint's first packet comes late. Sound captured before
// the place it would take (the silence that stood for a lost source ran past it, or the previous stretch ended
// after this one's start) is left out: what follows it stays at its capture time.
void AudioRecordingSession::PlaceInStretch(size_t index, Lane* lane) {
  if (!timeline_.Anchored()) timeline_.Anchor(stretch_began_ns_, &chunker_);
  const int64_t offset = timeline_.Offset(lane->placement.FirstCaptureNs(), LanePosition(index));
  if (offset < 0) {
    // Whole samples only: what is held may end in the odd byte of a sample still to come.
    const size_t whole = lane->held.size() - lane->held.size() % RecordingAudio::kBlockAlign;
    const size_t early = std::min(static_cast<size_t>(-offset) * RecordingAudio::kBlockAlign, whole);
    lane->held.erase(lane->held.begin(), lane->held.begin() + static_cast<std::ptrdiff_t>(early));
    dropped_ahead_bytes_ += early;
  } else if (offset > 0) {
    const std::vector<uint8_t> silence(static_cast<size_t>(offset) * RecordingAudio::kBlockAlign);
    mixer_->Append(index, silence.data(), silence.size());
    if (lane->reopened) lane->lost_ns += CounterToNanoseconds(offset, AudioChunker::kSampleRate);
  }
  lane->reopened = false;
}

void AudioRecordingSession::MixAndEncode(bool stretch_ends) {
  // A stretch that ends before a source settled keeps that source's sound, placed as it stands.
  if (stretch_ends) {
    for (size_t i = 0; i < lanes_.size(); ++i) {
      if (!lanes_[i]->in_mix && !lanes_[i]->held.empty()) EnterMix(i, lanes_[i]);
    }
  }
  // At the end of a stretch a source that lags is padded: the others' last sound is not held back for it.
  const size_t mixed = stretch_ends ? mixer_->Drain(&mix_) : mixer_->Mix(&mix_);
  timeline_.Mixed(mixed / RecordingAudio::kBlockAlign);
  for (size_t i = 0; i < lanes_.size(); ++i) {
    if (lanes_[i]->in_mix) lanes_[i]->captured_bytes += lanes_[i]->padding.Grown(mixer_->SilenceFilledBytes(i));
  }
  if (!chunker_.HasOrigin()) return;
  chunker_.TakeChunks(&mix_, [this](const uint8_t* pcm, size_t length, int64_t time, int64_t duration) {
    EncodeChunk(pcm, length, time, duration);
  });
}

void AudioRecordingSession::EncodeChunk(const uint8_t* pcm, size_t length, int64_t time_100ns,
                                        int64_t duration_100ns) {
  ComPtr<IMFSample> sample;
  HRESULT hr = WrapBytes(pcm, length, time_100ns, duration_100ns, &sample);
  if (SUCCEEDED(hr)) {
    hr = encoder_->ProcessInput(sample.Get());
    if (hr == MF_E_NOTACCEPTING) {
      CollectFrames();
      hr = encoder_->ProcessInput(sample.Get());
    }
  }
  if (hr != S_OK) {
    CountRefusal(kEncoderRefusal, length, hr);
    return;
  }
  timeline_.ChunkAccepted(time_100ns);
  CollectFrames();
}

void AudioRecordingSession::CollectFrames() {
  for (int call = 0; call < kMaxOutputsPerCall; ++call) {
    ComPtr<IMFSample> frame;
    if (encoder_->ProcessOutput(&frame) != S_OK) return;
    MuxFrame(frame.Get());
  }
}

// Stamped by the time line with the time of the sound it begins with.
void AudioRecordingSession::MuxFrame(IMFSample* frame) {
  BufferLoader loader(frame);
  const auto bytes = loader.LoadCurrentLength();
  if (!bytes || bytes->length == 0) return;
  int64_t time_100ns = 0;
  const AudioTimeline::FrameTime stamped = timeline_.TakeFrameTime(&time_100ns);
  if (stamped == AudioTimeline::FrameTime::kPriming) return;
  if (stamped == AudioTimeline::FrameTime::kUnknown) {
    LOG_ERROR << "AAC frame without input dropped";
    return;
  }
  if (bytes->length > kMaxAdtsPayload) {
    LOG_ERROR << "AAC frame of " << bytes->length << " bytes dropped: too long for an ADTS header";
    return;
  }
  uint32_t header_size = 0;
  encoder_->WriteADTSHeader(frame_buffer_.data(), static_cast<uint16_t>(bytes->length), &header_size);
  std::memcpy(frame_buffer_.data() + header_size, bytes->data, bytes->length);
  sink_->MuxRaw(frame_buffer_.data(), header_size + bytes->length, time_100ns / 10, StreamKind::kAudio);
  ++frames_muxed_;
}

void AudioRecordingSession::DrainEncoder() {
  // The encoder's last, partial frame; a failure leaves it out and is logged by the driver.
  encoder_->DrainAndCollect([this](IMFSample* frame) { MuxFrame(frame); });
}

void AudioRecordingSession::CountRefusal(Refusal kind, size_t bytes, HRESULT hr) {
  refused_bytes_[kind] += bytes;
  if (refusal_logged_[kind]) return;
  refusal_logged_[kind] = true;
  LOG_ERROR << (kind == kResamplerRefusal ? "the resampler" : "the AAC encoder") << " refused " << bytes
            << " bytes of sound (" << HrText(hr) << "); later refusals are only counted";
}

}  // namespace VellRecorder
