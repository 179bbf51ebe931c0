// Streaming of the stand-in encoder: messages, input, output and the asynchronous event protocol.
#include <windows.h>
#include <mfapi.h>
#include <mferror.h>
// After the Windows headers, so that the codec property identifiers are declared with their GUIDs.
#include <codecapi.h>

#include <algorithm>
#include <cstring>

#include "encodertransform.h"

namespace VellStandin {

void EncoderTransform::QueueSimpleEvent(MediaEventType type) {
  if (silent_after_ >= 0 && inputs_ >= silent_after_) return;  // gone silent, like a removed GPU
  ComPtr<IMFMediaEvent> event;
  if (FAILED(MFCreateMediaEvent(type, GUID_NULL, S_OK, nullptr, event.ReleaseAndGetAddressOf()))) return;
  event->SetUINT32(MF_EVENT_MFT_INPUT_STREAM_ID, 0);
  events_->QueueEvent(event.Get());
}

void EncoderTransform::RequestInput() {
  if (mode_ != Mode::kAsync || input_requested_ || input_ended_ || !ready_.empty()) return;
  input_requested_ = true;
  QueueSimpleEvent(METransformNeedInput);
}

void EncoderTransform::ReleaseHeld(bool all) {
  while (!held_.empty() && (all || held_.size() > lookahead_)) {
    ready_.push_back(std::move(held_.front()));
    held_.pop_front();
    if (mode_ == Mode::kAsync) QueueSimpleEvent(METransformHaveOutput);
  }
}

void EncoderTransform::Flush() {
  held_.clear();
  ready_.clear();
  input_requested_ = false;
}

HRESULT EncoderTransform::StartEncoder() {
  if (!input_type_ || !output_type_) return MF_E_TRANSFORM_TYPE_NOT_SET;
  EncoderConfig config;
  MFGetAttributeSize(output_type_.Get(), MF_MT_FRAME_SIZE, &config.width, &config.height);
  UINT32 rate = 30;
  UINT32 rate_denominator = 1;
  if (SUCCEEDED(MFGetAttributeRatio(output_type_.Get(), MF_MT_FRAME_RATE, &rate, &rate_denominator)) &&
      rate_denominator != 0 && rate / rate_denominator > 0) {
    config.frame_rate = rate / rate_denominator;
  }
  IMFAttributes* codec = attributes_.Get();
  config.gop_size = strictness_.gop ? *strictness_.gop : MFGetAttributeUINT32(codec, CODECAPI_AVEncMPVGOPSize, 0);
  const UINT32 type_bitrate = MFGetAttributeUINT32(output_type_.Get(), MF_MT_AVG_BITRATE, 2000000);
  config.mean_bitrate = MFGetAttributeUINT32(codec, CODECAPI_AVEncCommonMeanBitRate, type_bitrate);
  config.max_bitrate = MFGetAttributeUINT32(codec, CODECAPI_AVEncCommonMaxBitRate, 0);
  const size_t lookahead = MFGetAttributeUINT32(codec, CODECAPI_AVLowLatencyMode, 0) != 0 ? 0 : kLookahead;
  lookahead_ = std::max(lookahead, strictness_.hold);
  config_ = config;
  return encoder_.Start(config);
}

HRESULT EncoderTransform::EncodeInput(IMFSample* sample) {
  if (!encoder_.started()) {
    if (HRESULT hr = StartEncoder(); FAILED(hr)) return hr;
  }
  HRESULT hr = ReadNV12Sample(sample, config_.width, config_.height, &frame_);
  if (FAILED(hr)) return hr;
  AccessUnit unit;
  sample->GetSampleTime(&unit.time);
  sample->GetSampleDuration(&unit.duration);
  hr = encoder_.Encode(frame_, &unit);
  if (FAILED(hr)) return hr;
  if (unit.keyframe) {
    const std::vector<uint8_t> sets = ParameterSets(&unit.bytes, strictness_.sps_out_of_band);
    output_type_->SetBlob(MF_MT_MPEG_SEQUENCE_HEADER, sets.data(), static_cast<UINT32>(sets.size()));
  }
  held_.push_back(std::move(unit));
  ReleaseHeld(false);
  return S_OK;
}

HRESULT EncoderTransform::ProcessMessage(MFT_MESSAGE_TYPE message, ULONG_PTR param) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (HRESULT hr = CheckUsable(); FAILED(hr)) return hr;
  switch (message) {
    case MFT_MESSAGE_SET_D3D_MANAGER: {
      device_manager_.Reset();
      if (param == 0) return S_OK;
      // Only the Direct3D 11 manager is understood, as with encoders that are not Direct3D 9-aware.
      auto* unknown = reinterpret_cast<IUnknown*>(param);
      return unknown->QueryInterface(IID_IMFDXGIDeviceManager,
                                     reinterpret_cast<void**>(device_manager_.ReleaseAndGetAddressOf()));
    }
    case MFT_MESSAGE_COMMAND_FLUSH:
      // Everything held is dropped; a streaming asynchronous encoder asks for input afresh.
      Flush();
      RequestInput();
      return S_OK;
    case MFT_MESSAGE_NOTIFY_START_OF_STREAM:
      input_ended_ = false;
      RequestInput();
      return S_OK;
    case MFT_MESSAGE_NOTIFY_END_OF_STREAM:
      input_ended_ = true;
      return S_OK;
    case MFT_MESSAGE_COMMAND_DRAIN:
      input_ended_ = true;
      input_requested_ = false;
      ReleaseHeld(true);
      if (mode_ == Mode::kAsync) QueueSimpleEvent(METransformDrainComplete);
      return S_OK;
    default:
      return S_OK;
  }
}

HRESULT EncoderTransform::ProcessInput(DWORD id, IMFSample* sample, DWORD) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (HRESULT hr = CheckUsable(); FAILED(hr)) return hr;
  if (id != 0) return MF_E_INVALIDSTREAMNUMBER;
  if (!sample) return E_POINTER;
  if (!input_type_ || !output_type_) return MF_E_TRANSFORM_TYPE_NOT_SET;
  // Asynchronous: only in answer to METransformNeedInput. Synchronous: not while output waits.
  if (mode_ == Mode::kAsync ? !input_requested_ : !ready_.empty()) return MF_E_NOTACCEPTING;
  input_requested_ = false;
  ++inputs_;
  const HRESULT hr = EncodeInput(sample);
  RequestInput();
  return hr;
}

HRESULT EncoderTransform::DeliverProvided(MFT_OUTPUT_DATA_BUFFER* buffer) {
  const AccessUnit& unit = ready_.front();
  ComPtr<IMFMediaBuffer> bytes;
  HRESULT hr = MFCreateMemoryBuffer(static_cast<DWORD>(unit.bytes.size()), bytes.ReleaseAndGetAddressOf());
  BYTE* data = nullptr;
  if (SUCCEEDED(hr)) hr = bytes->Lock(&data, nullptr, nullptr);
  if (FAILED(hr)) return hr;
  std::memcpy(data, unit.bytes.data(), unit.bytes.size());
  bytes->Unlock();
  bytes->SetCurrentLength(static_cast<DWORD>(unit.bytes.size()));
  ComPtr<IMFSample> sample;
  hr = MFCreateSample(sample.ReleaseAndGetAddressOf());
  if (SUCCEEDED(hr)) hr = sample->AddBuffer(bytes.Get());
  if (FAILED(hr)) return hr;
  sample->SetSampleTime(unit.time);
  sample->SetSampleDuration(unit.duration);
  sample->SetUINT32(MFSampleExtension_CleanPoint, unit.keyframe ? 1 : 0);
  buffer->pSample = sample.Detach();
  return S_OK;
}

HRESULT EncoderTransform::DeliverIntoCaller(MFT_OUTPUT_DATA_BUFFER* buffer) {
  const AccessUnit& unit = ready_.front();
  if (!buffer->pSample) return E_INVALIDARG;
  ComPtr<IMFMediaBuffer> bytes;
  HRESULT hr = buffer->pSample->GetBufferByIndex(0, bytes.ReleaseAndGetAddressOf());
  BYTE* data = nullptr;
  DWORD max_length = 0;
  if (SUCCEEDED(hr)) hr = bytes->Lock(&data, &max_length, nullptr);
  if (FAILED(hr)) return hr;
  if (max_length < unit.bytes.size()) {
    bytes->Unlock();
    return MF_E_BUFFERTOOSMALL;
  }
  std::memcpy(data, unit.bytes.data(), unit.bytes.size());
  bytes->Unlock();
  bytes->SetCurrentLength(static_cast<DWORD>(unit.bytes.size()));
  buffer->pSample->SetSampleTime(unit.time);
  buffer->pSample->SetSampleDuration(unit.duration);
  buffer->pSample->SetUINT32(MFSampleExtension_CleanPoint, unit.keyframe ? 1 : 0);
  return S_OK;
}

HRESULT EncoderTransform::ProcessOutput(DWORD, DWORD count, MFT_OUTPUT_DATA_BUFFER* buffers, DWORD* status) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (HRESULT hr = CheckUsable(); FAILED(hr)) return hr;
  if (count != 1 || !buffers || !status) return E_INVALIDARG;
  *status = 0;
  buffers[0].dwStatus = 0;
  buffers[0].pEvents = nullptr;
  if (ready_.empty()) return MF_E_TRANSFORM_NEED_MORE_INPUT;
  const HRESULT hr = mode_ == Mode::kAsync ? DeliverProvided(&buffers[0]) : DeliverIntoCaller(&buffers[0]);
  if (FAILED(hr)) return hr;
  ready_.pop_front();
  RequestInput();
  return S_OK;
}

HRESULT EncoderTransform::GetInputStatus(DWORD id, DWORD* flags) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (HRESULT hr = CheckUsable(); FAILED(hr)) return hr;
  if (id != 0) return MF_E_INVALIDSTREAMNUMBER;
  *flags = (mode_ == Mode::kAsync ? input_requested_ : ready_.empty()) ? MFT_INPUT_STATUS_ACCEPT_DATA : 0;
  return S_OK;
}

HRESULT EncoderTransform::GetOutputStatus(DWORD* flags) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (HRESULT hr = CheckUsable(); FAILED(hr)) return hr;
  *flags = ready_.empty() ? 0 : MFT_OUTPUT_STATUS_SAMPLE_READY;
  return S_OK;
}

}  // namespace VellStandin
