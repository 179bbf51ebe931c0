#include "media_transforms/media_foundation/mft.h"

#include <mfapi.h>
#include <mferror.h>

#include <algorithm>

#include "tracehr.h"

namespace VellRecorder::MediaFoundation {
namespace {

// A transform renegotiates once per change; more than this within one collection is a transform that never
// settles.
constexpr int kStreamChangesPerCall = 2;

}  // namespace

HRESULT CreateVideoType(const GUID& subtype, UINT32 width, UINT32 height, ComPtr<IMFMediaType>* type) {
  RETURN_IF_FAILED(MFCreateMediaType(type->ReleaseAndGetAddressOf()));
  RETURN_IF_FAILED((*type)->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video));
  RETURN_IF_FAILED((*type)->SetGUID(MF_MT_SUBTYPE, subtype));
  RETURN_IF_FAILED(MFSetAttributeSize(type->Get(), MF_MT_FRAME_SIZE, width, height));
  RETURN_IF_FAILED((*type)->SetUINT32(MF_MT_INTERLACE_MODE, MFVideoInterlace_Progressive));
  return S_OK;
}

MFT::~MFT() {
  pending_inputs_.clear();
  if (transform_) ShutdownTransform();
  event_generator_.Reset();
  pending_inputs_.shrink_to_fit();
  output_sample_.Reset();
  output_buffer_.Reset();
  transform_.Reset();
  output_type_.Reset();
  input_type_.Reset();
}

void MFT::ShutdownTransform() {
  // Results are ignored: a transform that never started streaming refuses some of these, and teardown
  // goes on regardless. The media types are not cleared with null types: a transform about to be released
  // gains nothing from it, and Wine's video processor and resampler read through the null type and crash.
  transform_->ProcessMessage(MFT_MESSAGE_NOTIFY_END_STREAMING, 1);
  transform_->ProcessMessage(MFT_MESSAGE_COMMAND_FLUSH, 1);
  transform_->ProcessMessage(MFT_MESSAGE_NOTIFY_END_OF_STREAM, 0);
  transform_->DeleteInputStream(0);
  ComPtr<IMFShutdown> shutdown;
  if (FAILED(transform_.As(&shutdown))) return;
  // The device manager is detached first so that the transform lets go of the shared device.
  transform_->ProcessMessage(MFT_MESSAGE_SET_D3D_MANAGER, 0);
  transform_->DeleteInputStream(0);
  const HRESULT hr = shutdown->Shutdown();
  if (FAILED(hr)) LOG_ERROR << "Failed to shutdown MFT: " << HrText(hr);
}

HRESULT MFT::CreateMFT(const CLSID& clsid) {
  transform_.Reset();
  RETURN_IF_FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IMFTransform,
                                    reinterpret_cast<void**>(transform_.ReleaseAndGetAddressOf())));
  return S_OK;
}

HRESULT MFT::DetectAsyncMFT() {
  // A transform replacing an asynchronous one (the encoder trying its next candidate) starts synchronous.
  is_async_ = false;
  event_generator_.Reset();
  if (!transform_) return VELL_TRACE_FAILURE(MF_E_NOT_INITIALIZED);
  ComPtr<IMFAttributes> attributes;
  const HRESULT hr = transform_->GetAttributes(attributes.ReleaseAndGetAddressOf());
  if (hr == E_NOTIMPL) return S_OK;
  if (FAILED(hr)) return VELL_TRACE_FAILURE(hr);
  if (!attributes) return S_OK;
  UINT32 async = 0;
  if (FAILED(attributes->GetUINT32(MF_TRANSFORM_ASYNC, &async))) async = 0;
  is_async_ = async == 1;
  if (is_async_) EnableAsyncMFT();
  return S_OK;
}

HRESULT MFT::EnableAsyncMFT() {
  if (!transform_) return VELL_TRACE_FAILURE(MF_E_NOT_INITIALIZED);
  ComPtr<IMFAttributes> attributes;
  RETURN_IF_FAILED(transform_->GetAttributes(attributes.ReleaseAndGetAddressOf()));
  if (!attributes) return VELL_TRACE_FAILURE(E_NOINTERFACE);
  RETURN_IF_FAILED(attributes->SetUINT32(MF_TRANSFORM_ASYNC_UNLOCK, 1));
  return S_OK;
}

HRESULT MFT::NotifyStartOfStreeam() {
  if (!is_async_) return S_OK;
  RETURN_IF_FAILED(EnableAsyncMFT());
  RETURN_IF_FAILED(transform_.As(&event_generator_));
  RETURN_IF_FAILED(transform_->ProcessMessage(MFT_MESSAGE_NOTIFY_START_OF_STREAM, 1));
  return S_OK;
}

HRESULT MFT::SetDirect3DManager(ULONG_PTR manager) {
  if (!transform_) return VELL_TRACE_FAILURE(MF_E_NOT_INITIALIZED);
  RETURN_IF_FAILED(transform_->ProcessMessage(MFT_MESSAGE_SET_D3D_MANAGER, manager));
  return S_OK;
}

void MFT::LogMFTName() {
  if (!transform_) return;
  ComPtr<IMFAttributes> attributes;
  if (FAILED(transform_->GetAttributes(attributes.ReleaseAndGetAddressOf())) || !attributes) return;
  wchar_t name[128] = {};
  if (FAILED(attributes->GetString(MFT_FRIENDLY_NAME_Attribute, name, 128, nullptr))) return;
  LOG_WARNING << L"Selected H264 mft: " << name;
}

HRESULT MFT::WaitForEvent(MediaEventType* type, DWORD timeout_ms) {
  if (!type) return VELL_TRACE_FAILURE(E_POINTER);
  if (!event_generator_) return VELL_TRACE_FAILURE(MF_E_NOT_INITIALIZED);
  const HRESULT hr = event_wait_.Wait(event_generator_.Get(), timeout_ms, type);
  // A time-out is the caller's to judge: not traced.
  if (FAILED(hr) && hr != kEventWaitTimedOut) return VELL_TRACE_FAILURE(hr);
  return hr;
}

HRESULT MFT::Drain() {
  if (!transform_) return VELL_TRACE_FAILURE(MF_E_NOT_INITIALIZED);
  RETURN_IF_FAILED(transform_->ProcessMessage(MFT_MESSAGE_NOTIFY_END_OF_STREAM, 0));
  RETURN_IF_FAILED(transform_->ProcessMessage(MFT_MESSAGE_COMMAND_DRAIN, 0));
  return S_OK;
}

HRESULT MFT::ProcessInput(IMFSample* sample) {
  if (!transform_ || !sample) return VELL_TRACE_FAILURE(E_POINTER);
  const HRESULT hr = transform_->ProcessInput(0, sample, 0);
  if (hr == MF_E_NOTACCEPTING) return hr;
  if (FAILED(hr)) {
    LOG_ERROR << "unexpected error: " << HrText(hr);
    return hr;
  }
  InputTiming timing;
  LONGLONG time = 0;
  if (SUCCEEDED(sample->GetSampleTime(&time))) {
    timing.time = time;
    last_input_time_ = time;
  }
  LONGLONG duration = 0;
  if (SUCCEEDED(sample->GetSampleDuration(&duration))) {
    timing.duration = duration;
    pending_duration_ += duration;
  }
  pending_inputs_.push_back(timing);
  return S_OK;
}

HRESULT MFT::RenegotiateOutputType() {
  ComPtr<IMFMediaType> type;
  RETURN_IF_FAILED(MFCreateMediaType(type.ReleaseAndGetAddressOf()));
  RETURN_IF_FAILED(transform_->GetOutputAvailableType(0, 0, type.ReleaseAndGetAddressOf()));
  RETURN_IF_FAILED(transform_->SetOutputType(0, type.Get(), 0));
  return S_OK;
}

MFT::Step MFT::CollectPiece(const MFT_OUTPUT_STREAM_INFO& info, IMFSample* result, HRESULT* hr) {
  const bool provides = (info.dwFlags & MFT_OUTPUT_STREAM_PROVIDES_SAMPLES) != 0;
  if (!provides) {
    // A new sample and buffer every time: the previous ones may now belong to the caller's result.
    *hr = MFCreateSample(output_sample_.ReleaseAndGetAddressOf());
    const DWORD size = std::max<DWORD>(info.cbSize, GetMinOutputBufferSize());
    if (SUCCEEDED(*hr)) *hr = MFCreateMemoryBuffer(size, output_buffer_.ReleaseAndGetAddressOf());
    if (SUCCEEDED(*hr)) *hr = output_sample_->AddBuffer(output_buffer_.Get());
    if (FAILED(*hr)) {
      VELL_TRACE_FAILURE(*hr);
      return Step::kAbort;
    }
  }
  MFT_OUTPUT_DATA_BUFFER data = {};
  data.dwStreamID = 0;
  data.pSample = provides ? nullptr : output_sample_.Get();
  DWORD status = 0;
  *hr = transform_->ProcessOutput(0, 1, &data, &status);
  ComPtr<IMFCollection> events;
  events.Attach(data.pEvents);
  ComPtr<IMFSample> provided;
  if (provides) provided.Attach(data.pSample);

  if (data.dwStatus == MFT_OUTPUT_DATA_BUFFER_NO_SAMPLE) {
    LOG_DEBUG << "No sample";
    return Step::kStop;
  }
  if (data.dwStatus == MFT_OUTPUT_DATA_BUFFER_INCOMPLETE) {
    MFT_OUTPUT_STREAM_INFO refreshed = {};
    transform_->GetOutputStreamInfo(0, &refreshed);
    LOG_ERROR << "Incomplete buffer";
    *hr = E_FAIL;
    return Step::kStop;
  }
  if (*hr == MF_E_TRANSFORM_STREAM_CHANGE) {
    LOG_DEBUG << "stream change";
    *hr = RenegotiateOutputType();
    return FAILED(*hr) ? Step::kAbort : Step::kRenegotiated;
  }
  if (FAILED(*hr)) return Step::kStop;
  if (!data.pSample) {
    // Success without a sample breaks the protocol; nothing to collect.
    *hr = E_UNEXPECTED;
    return Step::kStop;
  }
  LONGLONG piece_time = 0;
  piece_time_.reset();
  if (SUCCEEDED(data.pSample->GetSampleTime(&piece_time))) piece_time_ = piece_time;
  ComPtr<IMFMediaBuffer> piece;
  *hr = data.pSample->ConvertToContiguousBuffer(piece.ReleaseAndGetAddressOf());
  if (SUCCEEDED(*hr)) *hr = result->AddBuffer(piece.Get());
  if (FAILED(*hr)) {
    VELL_TRACE_FAILURE(*hr);
    return Step::kAbort;
  }
  // An asynchronous transform announces each piece with its own METransformHaveOutput.
  return (provides && is_async_) || outputs_are_whole_frames_ ? Step::kLastPiece : Step::kPiece;
}

HRESULT MFT::ProcessOutput(ComPtr<IMFSample>* out) {
  if (!out) return VELL_TRACE_FAILURE(E_POINTER);
  out->Reset();
  if (!transform_) return VELL_TRACE_FAILURE(MF_E_NOT_INITIALIZED);
  MFT_OUTPUT_STREAM_INFO info = {};
  RETURN_IF_FAILED(transform_->GetOutputStreamInfo(0, &info));
  RETURN_IF_FAILED(MFCreateSample(out->ReleaseAndGetAddressOf()));

  int pieces = 0;
  int stream_changes = 0;
  HRESULT hr = S_OK;
  for (;;) {
    const Step step = CollectPiece(info, out->Get(), &hr);
    if (step == Step::kAbort) return hr;
    if (step == Step::kStop) break;
    if (step == Step::kRenegotiated) {
      // The input that met the change is still held by the transform: its output comes with the new type.
      if (++stream_changes > kStreamChangesPerCall) return VELL_TRACE_FAILURE(MF_E_TRANSFORM_STREAM_CHANGE);
      RETURN_IF_FAILED(transform_->GetOutputStreamInfo(0, &info));
      continue;
    }
    ++pieces;
    if (step == Step::kLastPiece) break;
  }
  // An empty sample is no frame: the next transform would refuse it.
  if (pieces == 0) return SUCCEEDED(hr) ? MF_E_TRANSFORM_NEED_MORE_INPUT : hr;

  // Several pieces become one buffer: the sinks read one access unit per sample.
  ComPtr<IMFMediaBuffer> merged;
  (*out)->ConvertToContiguousBuffer(merged.ReleaseAndGetAddressOf());
  StampOutput(out->Get());
  return S_OK;
}

void MFT::StampOutput(IMFSample* out) {
  size_t used = pending_inputs_.size();
  if (outputs_carry_input_times_ && piece_time_) {
    for (size_t i = 0; i + 1 < pending_inputs_.size(); ++i) {
      if (pending_inputs_[i].time == *piece_time_) {
        used = i + 1;
        break;
      }
    }
  }
  if (used == pending_inputs_.size()) {
    out->SetSampleTime(last_input_time_);
    out->SetSampleDuration(pending_duration_);
    pending_duration_ = 0;
    pending_inputs_.clear();
    return;
  }
  int64_t duration = 0;
  for (size_t i = 0; i < used; ++i) duration += pending_inputs_[i].duration.value_or(0);
  out->SetSampleTime(*piece_time_);
  out->SetSampleDuration(duration);
  pending_duration_ -= duration;
  pending_inputs_.erase(pending_inputs_.begin(), pending_inputs_.begin() + static_cast<std::ptrdiff_t>(used));
}

HRESULT MFT::Encode(IMFSample* in, ComPtr<IMFSample>* out) {
  HRESULT hr = ProcessInput(in);
  if (hr != S_OK && hr != MF_E_NOTACCEPTING) return hr;
  hr = ProcessOutput(out);
  if (hr == S_OK || hr == MF_E_TRANSFORM_NEED_MORE_INPUT) return hr;
  LOG_ERROR << "unexpected HRESULT: " << HrText(hr);
  return hr;
}

}  // namespace VellRecorder::MediaFoundation
