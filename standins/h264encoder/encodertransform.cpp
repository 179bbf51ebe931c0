// Construction, interfaces, media types and stream information of the stand-in encoder.
#include "encodertransform.h"

#include <mfapi.h>
#include <mferror.h>

#include <cwchar>
#include <string>

namespace VellStandin {
namespace {

// Tests change a variant's behaviour through environment variables listing variants ("async", "sync" or
// both, separated by commas): VELL_H264_STANDIN_FAIL makes it refuse every output type (an encoder that
// cannot be configured), VELL_H264_STANDIN_NO_ATTRIBUTES makes it answer GetAttributes with E_NOTIMPL, as
// some software encoders do.
bool Requested(const wchar_t* variable, Mode mode) {
  wchar_t value[64] = {};
  if (GetEnvironmentVariableW(variable, value, 64) == 0) return false;
  const std::wstring list = L"," + std::wstring(value) + L",";
  return list.find(mode == Mode::kAsync ? L",async," : L",sync,") != std::wstring::npos;
}

// VELL_H264_STANDIN_SILENT_AFTER=N: the asynchronous variant queues no event once it took N inputs, as an
// encoder whose GPU was removed; -1 (unset) never.
long SilentAfter() {
  wchar_t value[32] = {};
  if (GetEnvironmentVariableW(L"VELL_H264_STANDIN_SILENT_AFTER", value, 32) == 0) return -1;
  return std::wcstol(value, nullptr, 10);
}

bool FrameSize(IMFMediaType* type, UINT32* width, UINT32* height) {
  return SUCCEEDED(MFGetAttributeSize(type, MF_MT_FRAME_SIZE, width, height)) && *width > 0 && *height > 0 &&
         *width % 2 == 0 && *height % 2 == 0;
}

bool HasSubtype(IMFMediaType* type, const GUID& subtype) {
  GUID major = GUID_NULL;
  GUID minor = GUID_NULL;
  return SUCCEEDED(type->GetGUID(MF_MT_MAJOR_TYPE, &major)) && major == MFMediaType_Video &&
         SUCCEEDED(type->GetGUID(MF_MT_SUBTYPE, &minor)) && minor == subtype;
}

}  // namespace

HRESULT EncoderTransform::Create(Mode mode, REFIID riid, void** object) {
  auto* transform = new (std::nothrow) EncoderTransform(mode);
  const bool ready = transform && transform->attributes_ && (mode != Mode::kAsync || transform->events_);
  return HandOut(transform, ready ? S_OK : E_OUTOFMEMORY, riid, object);
}

EncoderTransform::EncoderTransform(Mode mode)
    : mode_(mode),
      fail_output_type_(Requested(L"VELL_H264_STANDIN_FAIL", mode)),
      hide_attributes_(mode == Mode::kSync && Requested(L"VELL_H264_STANDIN_NO_ATTRIBUTES", mode)),
      silent_after_(mode == Mode::kAsync ? SilentAfter() : -1),
      strictness_(StrictnessFromEnvironment(mode == Mode::kAsync)) {
  if (FAILED(MFCreateAttributes(attributes_.ReleaseAndGetAddressOf(), 8))) return;
  attributes_->SetString(MFT_FRIENDLY_NAME_Attribute, mode == Mode::kAsync
                                                          ? L"Vell Stand-in H.264 Encoder (asynchronous)"
                                                          : L"Vell Stand-in H.264 Encoder (synchronous)");
  attributes_->SetUINT32(MF_SA_D3D11_AWARE, TRUE);
  if (mode == Mode::kAsync) {
    attributes_->SetUINT32(MF_TRANSFORM_ASYNC, TRUE);
    MFCreateEventQueue(events_.ReleaseAndGetAddressOf());
  }
}

EncoderTransform::~EncoderTransform() {
  if (events_) events_->Shutdown();
}

void* EncoderTransform::Find(REFIID riid) {
  if (riid == IID_IMFMediaEventGenerator && mode_ != Mode::kAsync) return nullptr;
  return OneStreamTransform::Find(riid);
}

HRESULT EncoderTransform::CheckUsable() const {
  if (shut_down_) return MF_E_SHUTDOWN;
  if (mode_ == Mode::kAsync && MFGetAttributeUINT32(attributes_.Get(), MF_TRANSFORM_ASYNC_UNLOCK, 0) == 0) {
    return MF_E_TRANSFORM_ASYNC_LOCKED;
  }
  return S_OK;
}

HRESULT EncoderTransform::GetStreamLimits(DWORD* in_min, DWORD* in_max, DWORD* out_min, DWORD* out_max) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (HRESULT hr = CheckUsable(); FAILED(hr)) return hr;
  *in_min = *in_max = *out_min = *out_max = 1;
  return S_OK;
}

HRESULT EncoderTransform::GetStreamCount(DWORD* inputs, DWORD* outputs) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (HRESULT hr = CheckUsable(); FAILED(hr)) return hr;
  *inputs = *outputs = 1;
  return S_OK;
}

HRESULT EncoderTransform::GetInputStreamInfo(DWORD id, MFT_INPUT_STREAM_INFO* info) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (HRESULT hr = CheckUsable(); FAILED(hr)) return hr;
  if (id != 0) return MF_E_INVALIDSTREAMNUMBER;
  *info = {};
  info->dwFlags = MFT_INPUT_STREAM_WHOLE_SAMPLES | MFT_INPUT_STREAM_SINGLE_SAMPLE_PER_BUFFER;
  UINT32 width = 0;
  UINT32 height = 0;
  if (input_type_ && FrameSize(input_type_.Get(), &width, &height)) info->cbSize = width * height * 3 / 2;
  return S_OK;
}

HRESULT EncoderTransform::GetOutputStreamInfo(DWORD id, MFT_OUTPUT_STREAM_INFO* info) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (HRESULT hr = CheckUsable(); FAILED(hr)) return hr;
  if (id != 0) return MF_E_INVALIDSTREAMNUMBER;
  *info = {};
  info->dwFlags = MFT_OUTPUT_STREAM_WHOLE_SAMPLES | MFT_OUTPUT_STREAM_SINGLE_SAMPLE_PER_BUFFER;
  if (mode_ == Mode::kAsync) {
    info->dwFlags |= MFT_OUTPUT_STREAM_PROVIDES_SAMPLES;
    return S_OK;
  }
  UINT32 width = 0;
  UINT32 height = 0;
  // An access unit is far smaller than the raw picture at any bitrate the encoder is given.
  if (output_type_ && FrameSize(output_type_.Get(), &width, &height)) info->cbSize = width * height * 3 / 2 + 4096;
  return S_OK;
}

HRESULT EncoderTransform::GetAttributes(IMFAttributes** attributes) {
  if (!attributes) return E_POINTER;
  if (hide_attributes_) return E_NOTIMPL;
  return OneStreamTransform::GetAttributes(attributes);
}

HRESULT EncoderTransform::GetInputAvailableType(DWORD id, DWORD index, IMFMediaType** type) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (HRESULT hr = CheckUsable(); FAILED(hr)) return hr;
  if (id != 0) return MF_E_INVALIDSTREAMNUMBER;
  // Like hardware encoders: input types are offered only once the output type fixes the picture.
  if (!output_type_) return MF_E_TRANSFORM_TYPE_NOT_SET;
  if (index > 0) return MF_E_NO_MORE_TYPES;
  ComPtr<IMFMediaType> offered;
  HRESULT hr = MFCreateMediaType(offered.ReleaseAndGetAddressOf());
  if (SUCCEEDED(hr)) hr = output_type_->CopyAllItems(offered.Get());
  if (SUCCEEDED(hr)) hr = offered->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_NV12);
  if (SUCCEEDED(hr)) offered->DeleteItem(MF_MT_AVG_BITRATE);
  if (SUCCEEDED(hr)) *type = offered.Detach();
  return hr;
}

HRESULT EncoderTransform::GetOutputAvailableType(DWORD id, DWORD index, IMFMediaType** type) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (HRESULT hr = CheckUsable(); FAILED(hr)) return hr;
  if (id != 0) return MF_E_INVALIDSTREAMNUMBER;
  if (index > 0) return MF_E_NO_MORE_TYPES;
  ComPtr<IMFMediaType> offered;
  HRESULT hr = MFCreateMediaType(offered.ReleaseAndGetAddressOf());
  if (SUCCEEDED(hr) && output_type_) hr = output_type_->CopyAllItems(offered.Get());
  if (SUCCEEDED(hr)) hr = offered->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
  if (SUCCEEDED(hr)) hr = offered->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_H264);
  if (SUCCEEDED(hr)) *type = offered.Detach();
  return hr;
}

HRESULT EncoderTransform::SetOutputType(DWORD id, IMFMediaType* type, DWORD flags) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (HRESULT hr = CheckUsable(); FAILED(hr)) return hr;
  if (id != 0) return MF_E_INVALIDSTREAMNUMBER;
  UINT32 width = 0;
  UINT32 height = 0;
  if (type && (fail_output_type_ || !HasSubtype(type, MFVideoFormat_H264) || !FrameSize(type, &width, &height))) {
    return MF_E_INVALIDMEDIATYPE;
  }
  if (flags & MFT_SET_TYPE_TEST_ONLY) return S_OK;
  // The input type follows the output's picture: a new output type of another size needs a new input type. The
  // same picture again (a topology loader confirming the type already set) keeps the input type.
  UINT32 in_width = 0;
  UINT32 in_height = 0;
  if (!type || !input_type_ || !FrameSize(input_type_.Get(), &in_width, &in_height) || in_width != width ||
      in_height != height) {
    input_type_.Reset();
  }
  // A copy, as transforms keep: the sequence header is added to it, not to the caller's type.
  output_type_.Reset();
  if (type) {
    HRESULT hr = MFCreateMediaType(output_type_.ReleaseAndGetAddressOf());
    if (SUCCEEDED(hr)) hr = type->CopyAllItems(output_type_.Get());
    if (FAILED(hr)) return hr;
  }
  Flush();
  encoder_ = AccessUnitEncoder();
  return S_OK;
}

HRESULT EncoderTransform::SetInputType(DWORD id, IMFMediaType* type, DWORD flags) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (HRESULT hr = CheckUsable(); FAILED(hr)) return hr;
  if (id != 0) return MF_E_INVALIDSTREAMNUMBER;
  if (type) {
    if (!output_type_) return MF_E_TRANSFORM_TYPE_NOT_SET;
    UINT32 width = 0;
    UINT32 height = 0;
    UINT32 out_width = 0;
    UINT32 out_height = 0;
    FrameSize(output_type_.Get(), &out_width, &out_height);
    if (!HasSubtype(type, MFVideoFormat_NV12) || !FrameSize(type, &width, &height) || width != out_width ||
        height != out_height) {
      return MF_E_INVALIDMEDIATYPE;
    }
  }
  if (flags & MFT_SET_TYPE_TEST_ONLY) return S_OK;
  input_type_ = ComPtr<IMFMediaType>(type);
  Flush();
  encoder_ = AccessUnitEncoder();
  return S_OK;
}

HRESULT EncoderTransform::GetInputCurrentType(DWORD id, IMFMediaType** type) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (HRESULT hr = CheckUsable(); FAILED(hr)) return hr;
  return HandOutHeldType(id, input_type_.Get(), type);
}

HRESULT EncoderTransform::GetOutputCurrentType(DWORD id, IMFMediaType** type) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (HRESULT hr = CheckUsable(); FAILED(hr)) return hr;
  return HandOutHeldType(id, output_type_.Get(), type);
}

HRESULT EncoderTransform::GetEvent(DWORD flags, IMFMediaEvent** event) { return events_->GetEvent(flags, event); }

HRESULT EncoderTransform::BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) {
  return events_->BeginGetEvent(callback, state);
}

HRESULT EncoderTransform::EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) {
  return events_->EndGetEvent(result, event);
}

HRESULT EncoderTransform::QueueEvent(MediaEventType type, REFGUID extended, HRESULT status,
                                     const PROPVARIANT* value) {
  return events_->QueueEventParamVar(type, extended, status, value);
}

HRESULT EncoderTransform::Shutdown() {
  std::lock_guard<std::mutex> lock(mutex_);
  shut_down_ = true;
  Flush();
  device_manager_.Reset();
  // Wakes a caller blocked in GetEvent: it gets MF_E_SHUTDOWN instead of waiting forever.
  if (events_) events_->Shutdown();
  return S_OK;
}

HRESULT EncoderTransform::GetShutdownStatus(MFSHUTDOWN_STATUS* status) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!shut_down_) return MF_E_INVALIDREQUEST;
  *status = MFSHUTDOWN_COMPLETED;
  return S_OK;
}

}  // namespace VellStandin
