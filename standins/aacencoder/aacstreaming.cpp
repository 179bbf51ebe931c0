// Streaming of the stand-in AAC encoder: messages, input, output and the time line of its frames.
#include <mfapi.h>
#include <mferror.h>

#include <algorithm>
#include <cstring>

#include "aactransform.h"

namespace VellStandin {
namespace {

constexpr int64_t kUnitsPerSecond = 10'000'000;  // 100-ns units

// The bytes of a sample's buffers, read whole.
HRESULT AppendSampleBytes(IMFSample* sample, std::vector<uint8_t>* out) {
  ComPtr<IMFMediaBuffer> buffer;
  HRESULT hr = sample->ConvertToContiguousBuffer(buffer.ReleaseAndGetAddressOf());
  BYTE* data = nullptr;
  DWORD length = 0;
  if (SUCCEEDED(hr)) hr = buffer->Lock(&data, nullptr, &length);
  if (FAILED(hr)) return hr;
  out->insert(out->end(), data, data + length);
  buffer->Unlock();
  return S_OK;
}

}  // namespace

void AacEncoderTransform::Flush() {
  pcm_.clear();
  marks_.clear();
  frames_.clear();
  released_ = 0;
  encoded_samples_ = 0;
  draining_ = false;
}

bool AacEncoderTransform::FrameReady() const {
  return released_ > 0 || (draining_ && (!frames_.empty() || !pcm_.empty()));
}

HRESULT AacEncoderTransform::EncodeBuffered() {
  while (pcm_.size() >= FrameBytes() || (draining_ && !pcm_.empty())) {
    if (HRESULT hr = EncodeNextFrame(); FAILED(hr)) return hr;
  }
  if (frames_.size() >= frames_at_once_ || draining_) released_ = frames_.size();
  return S_OK;
}

// The time of the input sample that holds `sample`, plus that sample's offset inside it.
int64_t AacEncoderTransform::TimeOfSample(uint64_t sample) const {
  const InputMark* holder = &marks_.front();
  for (const InputMark& mark : marks_) {
    if (mark.first_sample > sample) break;
    holder = &mark;
  }
  return holder->time + static_cast<int64_t>((sample - holder->first_sample) * kUnitsPerSecond / sample_rate_);
}

HRESULT AacEncoderTransform::EncodeNextFrame() {
  if (!encoder_.started()) {
    const UINT32 bytes_per_second = MFGetAttributeUINT32(output_type_.Get(), MF_MT_AUDIO_AVG_BYTES_PER_SECOND, 0);
    if (HRESULT hr = encoder_.Start(sample_rate_, block_align_ / 2, bytes_per_second * 8); FAILED(hr)) return hr;
  }
  // The last partial frame of a drain is completed with silence.
  std::vector<int16_t> block(AacFrameEncoder::kFrameSamples * block_align_ / 2, 0);
  const size_t take = std::min<size_t>(pcm_.size(), FrameBytes());
  std::memcpy(block.data(), pcm_.data(), take);
  Frame frame;
  if (HRESULT hr = encoder_.Encode(block.data(), &frame.bytes); FAILED(hr)) return hr;
  frame.time = TimeOfSample(encoded_samples_);
  frames_.push_back(std::move(frame));
  pcm_.erase(pcm_.begin(), pcm_.begin() + static_cast<ptrdiff_t>(take));
  encoded_samples_ += AacFrameEncoder::kFrameSamples;
  // Keep the mark that holds the next frame's first sample, drop the ones before it.
  while (marks_.size() > 1 && marks_[1].first_sample <= encoded_samples_) marks_.pop_front();
  return S_OK;
}

HRESULT AacEncoderTransform::ProcessMessage(MFT_MESSAGE_TYPE message, ULONG_PTR) {
  std::lock_guard<std::mutex> lock(mutex_);
  switch (message) {
    case MFT_MESSAGE_COMMAND_FLUSH:
      Flush();
      return S_OK;
    case MFT_MESSAGE_COMMAND_DRAIN:
      // Everything buffered comes out; input is refused until it has.
      draining_ = !pcm_.empty() || !frames_.empty();
      return draining_ ? EncodeBuffered() : S_OK;
    default:
      // Start and end of streaming or of the stream need nothing here: the codec starts with the first
      // frame and a drain hands out what is left.
      return S_OK;
  }
}

HRESULT AacEncoderTransform::ProcessInput(DWORD id, IMFSample* sample, DWORD) {
  if (id != 0) return MF_E_INVALIDSTREAMNUMBER;
  if (!sample) return E_POINTER;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!input_type_ || !output_type_) return MF_E_TRANSFORM_TYPE_NOT_SET;
  if (draining_ || FrameReady()) return MF_E_NOTACCEPTING;
  // Where the new bytes start on the stream's sample count (bytes of a partial sample frame stay buffered
  // and complete with the next input).
  InputMark mark;
  mark.first_sample = encoded_samples_ + pcm_.size() / block_align_;
  // A sample without a time continues the previous one's time line.
  LONGLONG time = 0;
  if (SUCCEEDED(sample->GetSampleTime(&time))) {
    mark.time = time;
  } else if (!marks_.empty()) {
    mark.time = TimeOfSample(mark.first_sample);
  }
  const size_t before = pcm_.size();
  if (HRESULT hr = AppendSampleBytes(sample, &pcm_); FAILED(hr)) return hr;
  if (pcm_.size() != before) marks_.push_back(mark);
  return EncodeBuffered();
}

HRESULT AacEncoderTransform::CopyFrameInto(IMFSample* sample) {
  const Frame& frame = frames_.front();
  if (!sample) return E_INVALIDARG;  // the caller allocates the output samples
  ComPtr<IMFMediaBuffer> buffer;
  HRESULT hr = sample->ConvertToContiguousBuffer(buffer.ReleaseAndGetAddressOf());
  BYTE* data = nullptr;
  DWORD capacity = 0;
  if (SUCCEEDED(hr)) hr = buffer->Lock(&data, &capacity, nullptr);
  if (FAILED(hr)) return hr;
  if (capacity < frame.bytes.size()) {
    buffer->Unlock();
    return MF_E_BUFFERTOOSMALL;  // the frame stays for a larger buffer
  }
  std::memcpy(data, frame.bytes.data(), frame.bytes.size());
  buffer->Unlock();
  hr = buffer->SetCurrentLength(static_cast<DWORD>(frame.bytes.size()));
  if (SUCCEEDED(hr)) hr = sample->SetSampleTime(frame.time);
  if (SUCCEEDED(hr)) {
    hr = sample->SetSampleDuration(AacFrameEncoder::kFrameSamples * kUnitsPerSecond / sample_rate_);
  }
  if (SUCCEEDED(hr)) hr = sample->SetUINT32(MFSampleExtension_CleanPoint, TRUE);
  return hr;
}

HRESULT AacEncoderTransform::ProcessOutput(DWORD, DWORD count, MFT_OUTPUT_DATA_BUFFER* buffers, DWORD* status) {
  if (count != 1 || !buffers || !status) return E_INVALIDARG;
  if (buffers[0].dwStreamID != 0) return MF_E_INVALIDSTREAMNUMBER;
  std::lock_guard<std::mutex> lock(mutex_);
  *status = 0;
  buffers[0].dwStatus = 0;
  buffers[0].pEvents = nullptr;
  if (!input_type_ || !output_type_) return MF_E_TRANSFORM_TYPE_NOT_SET;
  if (!FrameReady()) {
    draining_ = false;  // a drain ends when everything is out
    return MF_E_TRANSFORM_NEED_MORE_INPUT;
  }
  if (HRESULT hr = CopyFrameInto(buffers[0].pSample); FAILED(hr)) return hr;
  frames_.pop_front();
  if (released_ > 0) --released_;
  return S_OK;
}

HRESULT AacEncoderTransform::GetInputStatus(DWORD id, DWORD* flags) {
  if (id != 0) return MF_E_INVALIDSTREAMNUMBER;
  if (!flags) return E_POINTER;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!input_type_ || !output_type_) return MF_E_TRANSFORM_TYPE_NOT_SET;
  *flags = draining_ || FrameReady() ? 0 : MFT_INPUT_STATUS_ACCEPT_DATA;
  return S_OK;
}

HRESULT AacEncoderTransform::GetOutputStatus(DWORD* flags) {
  if (!flags) return E_POINTER;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!input_type_ || !output_type_) return MF_E_TRANSFORM_TYPE_NOT_SET;
  *flags = FrameReady() ? MFT_OUTPUT_STATUS_SAMPLE_READY : 0;
  return S_OK;
}

}  // namespace VellStandin
