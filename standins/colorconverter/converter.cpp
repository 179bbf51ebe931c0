#include "converter.h"

#include <mferror.h>

#include <libyuv/planar_functions.h>

#include <new>

using VellRecorder::ComPtr;

namespace VellStandin {
namespace {

bool IsSubtype(IMFMediaType* type, const GUID& subtype) {
  GUID major = GUID_NULL;
  GUID minor = GUID_NULL;
  return SUCCEEDED(type->GetGUID(MF_MT_MAJOR_TYPE, &major)) && major == MFMediaType_Video &&
         SUCCEEDED(type->GetGUID(MF_MT_SUBTYPE, &minor)) && minor == subtype;
}

HRESULT Copy(IMFMediaType* from, IMFMediaType** to) {
  if (!to) return E_POINTER;
  if (!from) return MF_E_TRANSFORM_TYPE_NOT_SET;
  ComPtr<IMFMediaType> copy;
  HRESULT hr = MFCreateMediaType(copy.ReleaseAndGetAddressOf());
  if (SUCCEEDED(hr)) hr = from->CopyAllItems(copy.Get());
  if (SUCCEEDED(hr)) *to = copy.Detach();
  return hr;
}

// A type of `subtype` with the size, rate, aspect ratio and interlacing of `like` (when given).
HRESULT MakeType(const GUID& subtype, IMFMediaType* like, IMFMediaType** type) {
  ComPtr<IMFMediaType> made;
  HRESULT hr = MFCreateMediaType(made.ReleaseAndGetAddressOf());
  if (SUCCEEDED(hr)) hr = made->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
  if (SUCCEEDED(hr)) hr = made->SetGUID(MF_MT_SUBTYPE, subtype);
  UINT32 width = 0;
  UINT32 height = 0;
  if (SUCCEEDED(hr) && like && SUCCEEDED(MFGetAttributeSize(like, MF_MT_FRAME_SIZE, &width, &height))) {
    for (const GUID* key : {&MF_MT_FRAME_SIZE, &MF_MT_FRAME_RATE, &MF_MT_PIXEL_ASPECT_RATIO, &MF_MT_INTERLACE_MODE}) {
      PROPVARIANT value;
      PropVariantInit(&value);
      if (SUCCEEDED(like->GetItem(*key, &value))) made->SetItem(*key, value);
      PropVariantClear(&value);
    }
    const bool nv12 = subtype == MFVideoFormat_NV12;
    made->SetUINT32(MF_MT_DEFAULT_STRIDE, nv12 ? width : width * 2);
    made->SetUINT32(MF_MT_SAMPLE_SIZE, nv12 ? width * height * 3 / 2 : width * height * 2);
    made->SetUINT32(MF_MT_FIXED_SIZE_SAMPLES, TRUE);
    made->SetUINT32(MF_MT_ALL_SAMPLES_INDEPENDENT, TRUE);
  }
  if (SUCCEEDED(hr)) *type = made.Detach();
  return hr;
}

bool SameSize(IMFMediaType* a, IMFMediaType* b) {
  UINT32 aw = 0, ah = 0, bw = 0, bh = 0;
  return SUCCEEDED(MFGetAttributeSize(a, MF_MT_FRAME_SIZE, &aw, &ah)) &&
         SUCCEEDED(MFGetAttributeSize(b, MF_MT_FRAME_SIZE, &bw, &bh)) && aw == bw && ah == bh;
}

}  // namespace

HRESULT ColorConverter::Create(REFIID riid, void** object) {
  auto* converter = new (std::nothrow) ColorConverter();
  const HRESULT ready = converter ? MFCreateAttributes(converter->attributes_.ReleaseAndGetAddressOf(), 1) : S_OK;
  return HandOut(converter, ready, riid, object);
}

HRESULT ColorConverter::GetInputStreamInfo(DWORD id, MFT_INPUT_STREAM_INFO* info) {
  if (id != 0) return MF_E_INVALIDSTREAMNUMBER;
  if (!info) return E_POINTER;
  std::lock_guard<std::mutex> lock(mutex_);
  *info = {};
  info->cbSize = width_ * height_ * 2;
  info->dwFlags = MFT_INPUT_STREAM_WHOLE_SAMPLES | MFT_INPUT_STREAM_SINGLE_SAMPLE_PER_BUFFER |
                  MFT_INPUT_STREAM_FIXED_SAMPLE_SIZE;
  return S_OK;
}

HRESULT ColorConverter::GetOutputStreamInfo(DWORD id, MFT_OUTPUT_STREAM_INFO* info) {
  if (id != 0) return MF_E_INVALIDSTREAMNUMBER;
  if (!info) return E_POINTER;
  std::lock_guard<std::mutex> lock(mutex_);
  *info = {};
  info->cbSize = width_ * height_ * 3 / 2;  // the caller provides the output samples
  info->dwFlags = MFT_OUTPUT_STREAM_WHOLE_SAMPLES | MFT_OUTPUT_STREAM_SINGLE_SAMPLE_PER_BUFFER |
                  MFT_OUTPUT_STREAM_FIXED_SAMPLE_SIZE;
  return S_OK;
}

HRESULT ColorConverter::GetInputAvailableType(DWORD id, DWORD index, IMFMediaType** type) {
  if (id != 0) return MF_E_INVALIDSTREAMNUMBER;
  if (!type) return E_POINTER;
  if (index > 0) return MF_E_NO_MORE_TYPES;
  std::lock_guard<std::mutex> lock(mutex_);
  return MakeType(MFVideoFormat_YUY2, output_type_.Get(), type);
}

HRESULT ColorConverter::GetOutputAvailableType(DWORD id, DWORD index, IMFMediaType** type) {
  if (id != 0) return MF_E_INVALIDSTREAMNUMBER;
  if (!type) return E_POINTER;
  if (index > 0) return MF_E_NO_MORE_TYPES;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!input_type_) return MF_E_TRANSFORM_TYPE_NOT_SET;
  return MakeType(MFVideoFormat_NV12, input_type_.Get(), type);
}

HRESULT ColorConverter::SetInputType(DWORD id, IMFMediaType* type, DWORD flags) {
  if (id != 0) return MF_E_INVALIDSTREAMNUMBER;
  std::lock_guard<std::mutex> lock(mutex_);
  if (pending_) return MF_E_TRANSFORM_CANNOT_CHANGE_MEDIATYPE_WHILE_PROCESSING;
  if (!type) {
    if (!(flags & MFT_SET_TYPE_TEST_ONLY)) input_type_.Reset(), width_ = height_ = 0;
    return S_OK;
  }
  UINT32 width = 0;
  UINT32 height = 0;
  if (!IsSubtype(type, MFVideoFormat_YUY2) || FAILED(MFGetAttributeSize(type, MF_MT_FRAME_SIZE, &width, &height)) ||
      width == 0 || height == 0 || width % 2 != 0 || height % 2 != 0) {
    return MF_E_INVALIDMEDIATYPE;
  }
  if (output_type_ && !SameSize(type, output_type_.Get())) return MF_E_INVALIDMEDIATYPE;
  if (flags & MFT_SET_TYPE_TEST_ONLY) return S_OK;
  input_type_ = ComPtr<IMFMediaType>(type);
  width_ = width;
  height_ = height;
  return S_OK;
}

HRESULT ColorConverter::SetOutputType(DWORD id, IMFMediaType* type, DWORD flags) {
  if (id != 0) return MF_E_INVALIDSTREAMNUMBER;
  std::lock_guard<std::mutex> lock(mutex_);
  if (pending_) return MF_E_TRANSFORM_CANNOT_CHANGE_MEDIATYPE_WHILE_PROCESSING;
  if (!type) {
    if (!(flags & MFT_SET_TYPE_TEST_ONLY)) output_type_.Reset();
    return S_OK;
  }
  if (!IsSubtype(type, MFVideoFormat_NV12)) return MF_E_INVALIDMEDIATYPE;
  if (!input_type_) return MF_E_TRANSFORM_TYPE_NOT_SET;
  if (!SameSize(type, input_type_.Get())) return MF_E_INVALIDMEDIATYPE;  // converts, never scales
  if (flags & MFT_SET_TYPE_TEST_ONLY) return S_OK;
  output_type_ = ComPtr<IMFMediaType>(type);
  return S_OK;
}

HRESULT ColorConverter::GetInputCurrentType(DWORD id, IMFMediaType** type) {
  if (id != 0) return MF_E_INVALIDSTREAMNUMBER;
  std::lock_guard<std::mutex> lock(mutex_);
  return Copy(input_type_.Get(), type);
}

HRESULT ColorConverter::GetOutputCurrentType(DWORD id, IMFMediaType** type) {
  if (id != 0) return MF_E_INVALIDSTREAMNUMBER;
  std::lock_guard<std::mutex> lock(mutex_);
  return Copy(output_type_.Get(), type);
}

HRESULT ColorConverter::GetInputStatus(DWORD id, DWORD* flags) {
  if (id != 0) return MF_E_INVALIDSTREAMNUMBER;
  if (!flags) return E_POINTER;
  std::lock_guard<std::mutex> lock(mutex_);
  *flags = pending_ ? 0 : MFT_INPUT_STATUS_ACCEPT_DATA;
  return S_OK;
}

HRESULT ColorConverter::GetOutputStatus(DWORD* flags) {
  if (!flags) return E_POINTER;
  std::lock_guard<std::mutex> lock(mutex_);
  *flags = pending_ ? MFT_OUTPUT_STATUS_SAMPLE_READY : 0;
  return S_OK;
}

HRESULT ColorConverter::ProcessMessage(MFT_MESSAGE_TYPE message, ULONG_PTR) {
  std::lock_guard<std::mutex> lock(mutex_);
  switch (message) {
    case MFT_MESSAGE_COMMAND_FLUSH:
      pending_.Reset();
      return S_OK;
    case MFT_MESSAGE_SET_D3D_MANAGER:
      return E_NOTIMPL;  // system memory only
    default:
      return S_OK;  // nothing held back: draining and stream notifications need no work
  }
}

HRESULT ColorConverter::ProcessInput(DWORD id, IMFSample* sample, DWORD) {
  if (id != 0) return MF_E_INVALIDSTREAMNUMBER;
  if (!sample) return E_POINTER;
  std::lock_guard<std::mutex> lock(mutex_);
  return HoldPending(input_type_ && output_type_, sample, &pending_);
}

HRESULT ColorConverter::ProcessOutput(DWORD, DWORD count, MFT_OUTPUT_DATA_BUFFER* buffers, DWORD* status) {
  if (HRESULT hr = BeginOutput(count, buffers, status); FAILED(hr)) return hr;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!pending_) return MF_E_TRANSFORM_NEED_MORE_INPUT;
  if (!buffers[0].pSample) return E_INVALIDARG;
  ComPtr<IMFSample> input;
  std::swap(input, pending_);
  return Convert(input.Get(), buffers[0].pSample);
}

HRESULT ColorConverter::Convert(IMFSample* input, IMFSample* output) {
  ComPtr<IMFMediaBuffer> source;
  ComPtr<IMFMediaBuffer> target;
  HRESULT hr = input->ConvertToContiguousBuffer(source.ReleaseAndGetAddressOf());
  if (SUCCEEDED(hr)) hr = output->ConvertToContiguousBuffer(target.ReleaseAndGetAddressOf());
  if (FAILED(hr)) return hr;
  BYTE* in = nullptr;
  BYTE* out = nullptr;
  DWORD in_length = 0;
  DWORD out_max = 0;
  const DWORD need = width_ * height_ * 3 / 2;
  if (FAILED(hr = source->Lock(&in, nullptr, &in_length))) return hr;
  if (FAILED(hr = target->Lock(&out, &out_max, nullptr))) {
    source->Unlock();
    return hr;
  }
  if (in_length < width_ * height_ * 2 || out_max < need) {
    hr = E_INVALIDARG;
  } else {
    BYTE* uv = out + width_ * height_;
    hr = libyuv::YUY2ToNV12(in, static_cast<int>(width_ * 2), out, static_cast<int>(width_), uv,
                            static_cast<int>(width_), static_cast<int>(width_), static_cast<int>(height_)) == 0
             ? S_OK
             : E_FAIL;
  }
  target->Unlock();
  source->Unlock();
  if (SUCCEEDED(hr)) hr = target->SetCurrentLength(need);
  // Sample time, duration and flags (clean point, discontinuity) go with the frame.
  LONGLONG value = 0;
  if (SUCCEEDED(hr) && SUCCEEDED(input->GetSampleTime(&value))) hr = output->SetSampleTime(value);
  if (SUCCEEDED(hr) && SUCCEEDED(input->GetSampleDuration(&value))) hr = output->SetSampleDuration(value);
  if (SUCCEEDED(hr)) hr = input->CopyAllItems(output);
  return hr;
}

}  // namespace VellStandin
