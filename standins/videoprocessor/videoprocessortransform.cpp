#include "videoprocessor/videoprocessortransform.h"

#include <mferror.h>

#include <cstring>
#include <cwchar>
#include <string>

#include "videoprocessor/lockedpicture.h"

namespace VellRecorder::StandIns {
namespace {

// Not declared by mingw's headers.
constexpr GUID kCallerAllocatesOutput = {0x04a2cabc, 0x0cab, 0x40b1, {0xa1, 0xb9, 0x75, 0xbc, 0x36, 0x58, 0xf0, 0x00}};

using Lock = std::lock_guard<std::mutex>;

struct FrameSize {
  UINT32 width = 0;
  UINT32 height = 0;
};

FrameSize SizeOf(IMFMediaType* type) {
  FrameSize size;
  if (type) MFGetAttributeSize(type, MF_MT_FRAME_SIZE, &size.width, &size.height);
  return size;
}

bool IsVideo(IMFMediaType* type, const GUID& subtype) {
  GUID major{}, minor{};
  return SUCCEEDED(type->GetGUID(MF_MT_MAJOR_TYPE, &major)) && major == MFMediaType_Video &&
         SUCCEEDED(type->GetGUID(MF_MT_SUBTYPE, &minor)) && minor == subtype;
}

bool IsRightAngle(UINT32 degrees) { return degrees == 0 || degrees == 90 || degrees == 180 || degrees == 270; }

HRESULT NewVideoType(const GUID& subtype, IMFMediaType** type) {
  ComPtr<IMFMediaType> created;
  HRESULT hr = MFCreateMediaType(created.ReleaseAndGetAddressOf());
  if (SUCCEEDED(hr)) hr = created->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
  if (SUCCEEDED(hr)) hr = created->SetGUID(MF_MT_SUBTYPE, subtype);
  if (SUCCEEDED(hr)) *type = created.Detach();
  return hr;
}

// A copy, so that the caller's later changes to its type object do not reach the transform.
HRESULT CopyType(IMFMediaType* type, ComPtr<IMFMediaType>* copy) {
  HRESULT hr = MFCreateMediaType(copy->ReleaseAndGetAddressOf());
  return SUCCEEDED(hr) ? type->CopyAllItems(copy->Get()) : hr;
}

HRESULT HandOut(const ComPtr<IMFMediaType>& type, IMFMediaType** out) {
  if (!out) return E_POINTER;
  if (!type) return MF_E_TRANSFORM_TYPE_NOT_SET;
  ComPtr<IMFMediaType> copy;
  const HRESULT hr = CopyType(type.Get(), &copy);
  if (SUCCEEDED(hr)) *out = copy.Detach();
  return hr;
}

// The one buffer of a sample, merged if it has several.
HRESULT OnlyBuffer(IMFSample* sample, ComPtr<IMFMediaBuffer>* buffer) {
  DWORD count = 0;
  sample->GetBufferCount(&count);
  if (count == 1) return sample->GetBufferByIndex(0, buffer->ReleaseAndGetAddressOf());
  return sample->ConvertToContiguousBuffer(buffer->ReleaseAndGetAddressOf());
}

}  // namespace

VideoProcessorTransform::VideoProcessorTransform() {
  // VELL_VIDEOPROCESSOR_FAULTS, comma-separated: "stream-change-after=N" (after N outputs, one
  // MF_E_TRANSFORM_STREAM_CHANGE: the output type is void until set again, the held input stays held, as the
  // system's processor does when its output format changes), "keep-inputs" (every input is taken and none
  // ever comes out).
  wchar_t faults[128] = {};
  if (GetEnvironmentVariableW(L"VELL_VIDEOPROCESSOR_FAULTS", faults, 128) > 0) {
    const std::wstring list = L"," + std::wstring(faults) + L",";
    const size_t change = list.find(L",stream-change-after=");
    if (change != std::wstring::npos) stream_change_after_ = std::wcstol(list.c_str() + change + 21, nullptr, 10);
    keeps_inputs_ = list.find(L",keep-inputs,") != std::wstring::npos;
  }
  // VELL_VIDEOPROCESSOR_STRICT, comma-separated: "pool=N" (the samples it provides come from a pool of N,
  // default 3; see OutputPool), "lenient" (a new sample for every output, never short of one).
  wchar_t strict[128] = {};
  if (GetEnvironmentVariableW(L"VELL_VIDEOPROCESSOR_STRICT", strict, 128) > 0) {
    const std::wstring list = L"," + std::wstring(strict) + L",";
    const size_t pool = list.find(L",pool=");
    if (pool != std::wstring::npos) pool_.SetCapacity(std::wcstoul(list.c_str() + pool + 6, nullptr, 10));
    if (list.find(L",lenient,") != std::wstring::npos) pool_.SetCapacity(0);
  }
  if (SUCCEEDED(MFCreateAttributes(attributes_.ReleaseAndGetAddressOf(), 2))) {
    attributes_->SetUINT32(MF_SA_D3D11_AWARE, TRUE);
  }
}

HRESULT VideoProcessorTransform::GetInputStreamInfo(DWORD id, MFT_INPUT_STREAM_INFO* info) {
  if (id != 0) return MF_E_INVALIDSTREAMNUMBER;
  if (!info) return E_POINTER;
  *info = {};
  info->dwFlags = MFT_INPUT_STREAM_WHOLE_SAMPLES | MFT_INPUT_STREAM_SINGLE_SAMPLE_PER_BUFFER;
  return S_OK;
}

HRESULT VideoProcessorTransform::GetOutputStreamInfo(DWORD id, MFT_OUTPUT_STREAM_INFO* info) {
  if (id != 0) return MF_E_INVALIDSTREAMNUMBER;
  if (!info) return E_POINTER;
  Lock lock(mutex_);
  *info = {};
  info->dwFlags = MFT_OUTPUT_STREAM_WHOLE_SAMPLES | MFT_OUTPUT_STREAM_SINGLE_SAMPLE_PER_BUFFER |
                  MFT_OUTPUT_STREAM_FIXED_SAMPLE_SIZE | (ProvidesSamples() ? MFT_OUTPUT_STREAM_PROVIDES_SAMPLES : 0);
  info->cbSize = OutputBytes();
  return S_OK;
}

HRESULT VideoProcessorTransform::GetInputAvailableType(DWORD id, DWORD index, IMFMediaType** type) {
  if (id != 0) return MF_E_INVALIDSTREAMNUMBER;
  if (!type) return E_POINTER;
  if (index > 1) return MF_E_NO_MORE_TYPES;
  return NewVideoType(index == 0 ? MFVideoFormat_ARGB32 : MFVideoFormat_RGB32, type);
}

HRESULT VideoProcessorTransform::GetOutputAvailableType(DWORD id, DWORD index, IMFMediaType** type) {
  if (id != 0) return MF_E_INVALIDSTREAMNUMBER;
  if (!type) return E_POINTER;
  Lock lock(mutex_);
  if (!input_type_) return MF_E_TRANSFORM_TYPE_NOT_SET;
  if (index > 0) return MF_E_NO_MORE_TYPES;
  ComPtr<IMFMediaType> offered;
  HRESULT hr = NewVideoType(MFVideoFormat_NV12, offered.ReleaseAndGetAddressOf());
  if (FAILED(hr)) return hr;
  // The input's size, upright.
  const FrameSize size = SizeOf(input_type_.Get());
  const bool sideways = Turn() % 180 != 0;
  hr = MFSetAttributeSize(offered.Get(), MF_MT_FRAME_SIZE, sideways ? size.height : size.width,
                          sideways ? size.width : size.height);
  if (SUCCEEDED(hr)) *type = offered.Detach();
  return hr;
}

HRESULT VideoProcessorTransform::SetInputType(DWORD id, IMFMediaType* type, DWORD flags) {
  if (id != 0) return MF_E_INVALIDSTREAMNUMBER;
  Lock lock(mutex_);
  if (pending_) return MF_E_TRANSFORM_CANNOT_CHANGE_MEDIATYPE_WHILE_PROCESSING;
  if (!type) {
    if (!(flags & MFT_SET_TYPE_TEST_ONLY)) input_type_.Reset();
    return S_OK;
  }
  const FrameSize size = SizeOf(type);
  const UINT32 rotation = MFGetAttributeUINT32(type, MF_MT_VIDEO_ROTATION, 0);
  if (!(IsVideo(type, MFVideoFormat_ARGB32) || IsVideo(type, MFVideoFormat_RGB32)) || size.width == 0 ||
      size.height == 0 || !IsRightAngle(rotation)) {
    return MF_E_INVALIDMEDIATYPE;
  }
  if (flags & MFT_SET_TYPE_TEST_ONLY) return S_OK;
  return CopyType(type, &input_type_);
}

HRESULT VideoProcessorTransform::SetOutputType(DWORD id, IMFMediaType* type, DWORD flags) {
  if (id != 0) return MF_E_INVALIDSTREAMNUMBER;
  Lock lock(mutex_);
  // After a stream change the held input waits for the new output type.
  if (pending_ && output_type_) return MF_E_TRANSFORM_CANNOT_CHANGE_MEDIATYPE_WHILE_PROCESSING;
  if (!type) {
    if (!(flags & MFT_SET_TYPE_TEST_ONLY)) output_type_.Reset();
    return S_OK;
  }
  // NV12 needs whole 2x2 chroma blocks.
  const FrameSize size = SizeOf(type);
  if (!IsVideo(type, MFVideoFormat_NV12) || size.width == 0 || size.height == 0 || size.width % 2 != 0 ||
      size.height % 2 != 0 || !IsRightAngle(MFGetAttributeUINT32(type, MF_MT_VIDEO_ROTATION, 0))) {
    return MF_E_INVALIDMEDIATYPE;
  }
  if (flags & MFT_SET_TYPE_TEST_ONLY) return S_OK;
  return CopyType(type, &output_type_);
}

HRESULT VideoProcessorTransform::GetInputCurrentType(DWORD id, IMFMediaType** type) {
  if (id != 0) return MF_E_INVALIDSTREAMNUMBER;
  Lock lock(mutex_);
  return HandOut(input_type_, type);
}

HRESULT VideoProcessorTransform::GetOutputCurrentType(DWORD id, IMFMediaType** type) {
  if (id != 0) return MF_E_INVALIDSTREAMNUMBER;
  Lock lock(mutex_);
  return HandOut(output_type_, type);
}

HRESULT VideoProcessorTransform::GetInputStatus(DWORD id, DWORD* flags) {
  if (id != 0) return MF_E_INVALIDSTREAMNUMBER;
  if (!flags) return E_POINTER;
  Lock lock(mutex_);
  *flags = pending_ ? 0 : MFT_INPUT_STATUS_ACCEPT_DATA;
  return S_OK;
}

HRESULT VideoProcessorTransform::GetOutputStatus(DWORD* flags) {
  if (!flags) return E_POINTER;
  Lock lock(mutex_);
  *flags = pending_ ? MFT_OUTPUT_STATUS_SAMPLE_READY : 0;
  return S_OK;
}

HRESULT VideoProcessorTransform::ProcessMessage(MFT_MESSAGE_TYPE message, ULONG_PTR param) {
  Lock lock(mutex_);
  switch (message) {
    case MFT_MESSAGE_COMMAND_FLUSH:
      pending_.Reset();
      return S_OK;
    case MFT_MESSAGE_SET_D3D_MANAGER: {
      if (param == 0) {
        device_manager_.Reset();
        return S_OK;
      }
      auto* unknown = reinterpret_cast<IUnknown*>(param);
      return unknown->QueryInterface(IID_IMFDXGIDeviceManager,
                                     reinterpret_cast<void**>(device_manager_.ReleaseAndGetAddressOf()));
    }
    default:
      // Streaming notifications and drain: with one output per input there is nothing held back.
      return S_OK;
  }
}

HRESULT VideoProcessorTransform::ProcessInput(DWORD id, IMFSample* sample, DWORD flags) {
  if (id != 0) return MF_E_INVALIDSTREAMNUMBER;
  if (!sample) return E_POINTER;
  if (flags != 0) return E_INVALIDARG;
  Lock lock(mutex_);
  return VellStandin::HoldPending(input_type_ && output_type_, sample, &pending_);
}

HRESULT VideoProcessorTransform::ProcessOutput(DWORD, DWORD count, MFT_OUTPUT_DATA_BUFFER* buffers, DWORD* status) {
  if (HRESULT hr = VellStandin::BeginOutput(count, buffers, status); FAILED(hr)) return hr;
  buffers[0].pEvents = nullptr;
  if (buffers[0].dwStreamID != 0) return MF_E_INVALIDSTREAMNUMBER;
  Lock lock(mutex_);
  if (!pending_) return MF_E_TRANSFORM_NEED_MORE_INPUT;
  if (!output_type_) return MF_E_TRANSFORM_TYPE_NOT_SET;
  if (keeps_inputs_) {
    pending_.Reset();
    return MF_E_TRANSFORM_NEED_MORE_INPUT;
  }
  if (outputs_ == stream_change_after_) {
    ++outputs_;  // once
    output_type_.Reset();
    return MF_E_TRANSFORM_STREAM_CHANGE;
  }
  const bool provides = ProvidesSamples();
  // As documented for the system's processor: a caller sample when it allocates is an error, and so is none
  // when it does not.
  if (provides != (buffers[0].pSample == nullptr)) return E_INVALIDARG;
  ComPtr<IMFSample> output(buffers[0].pSample);
  if (provides) {
    // Starved: the input stays held for a later call, once the caller let go of a sample.
    if (HRESULT hr = pool_.Take(OutputBytes(), &output); FAILED(hr)) return hr;
  }
  ComPtr<IMFSample> input = pending_;
  pending_.Reset();
  const HRESULT hr = Render(input.Get(), output.Get());
  if (FAILED(hr)) return hr;
  if (provides) buffers[0].pSample = output.Detach();
  if (outputs_ < stream_change_after_) ++outputs_;
  return S_OK;
}

HRESULT VideoProcessorTransform::SetMirror(MF_VIDEO_PROCESSOR_MIRROR mirror) {
  if (mirror != MIRROR_NONE && mirror != MIRROR_HORIZONTAL && mirror != MIRROR_VERTICAL) return E_INVALIDARG;
  Lock lock(mutex_);
  mirror_ = mirror;
  return S_OK;
}

HRESULT VideoProcessorTransform::SetRotation(MF_VIDEO_PROCESSOR_ROTATION rotation) {
  if (rotation != ROTATION_NONE && rotation != ROTATION_NORMAL) return E_INVALIDARG;
  Lock lock(mutex_);
  rotation_ = rotation;
  return S_OK;
}

bool VideoProcessorTransform::ProvidesSamples() const {
  return device_manager_ && MFGetAttributeUINT32(attributes_.Get(), kCallerAllocatesOutput, FALSE) == FALSE;
}

DWORD VideoProcessorTransform::OutputBytes() const {
  const FrameSize size = SizeOf(output_type_.Get());
  return size.width * size.height * 3 / 2;
}

Matrix VideoProcessorTransform::OutputMatrix() const {
  switch (MFGetAttributeUINT32(output_type_.Get(), MF_MT_YUV_MATRIX, MFVideoTransferMatrix_Unknown)) {
    case MFVideoTransferMatrix_BT709:
      return Matrix::kBt709;
    case MFVideoTransferMatrix_BT601:
      return Matrix::kBt601;
    default:
      // Unspecified: BT.601 for standard definition, BT.709 above 576 lines, as DXVA defines it.
      return SizeOf(output_type_.Get()).height > 576 ? Matrix::kBt709 : Matrix::kBt601;
  }
}

int VideoProcessorTransform::Turn() const {
  if (rotation_ == ROTATION_NONE) return 0;
  const int declared = static_cast<int>(MFGetAttributeUINT32(input_type_.Get(), MF_MT_VIDEO_ROTATION, 0));
  const int wanted = output_type_ ? static_cast<int>(MFGetAttributeUINT32(output_type_.Get(), MF_MT_VIDEO_ROTATION, 0)) : 0;
  return (declared - wanted + 360) % 360;
}

HRESULT VideoProcessorTransform::Render(IMFSample* input, IMFSample* output) {
  const FrameSize in = SizeOf(input_type_.Get());
  const FrameSize out = SizeOf(output_type_.Get());
  ComPtr<IMFMediaBuffer> in_buffer, out_buffer;
  HRESULT hr = OnlyBuffer(input, &in_buffer);
  if (SUCCEEDED(hr)) hr = OnlyBuffer(output, &out_buffer);
  if (FAILED(hr)) return hr;
  // Top-down unless the type says otherwise.
  const LONG stride = static_cast<LONG>(MFGetAttributeUINT32(input_type_.Get(), MF_MT_DEFAULT_STRIDE, in.width * 4));
  LockedPicture source;
  hr = source.Lock(in_buffer.Get(), stride, static_cast<int>(in.height));
  if (FAILED(hr)) return hr;
  BYTE* nv12 = nullptr;
  DWORD capacity = 0;
  hr = out_buffer->Lock(&nv12, &capacity, nullptr);
  if (FAILED(hr)) return hr;
  const DWORD needed = OutputBytes();
  const Mirror mirror = mirror_ == MIRROR_HORIZONTAL ? Mirror::kHorizontal
                        : mirror_ == MIRROR_VERTICAL ? Mirror::kVertical
                                                     : Mirror::kNone;
  const PictureJob job{source.TopRow(), static_cast<int>(source.Stride()), static_cast<int>(in.width),
                       static_cast<int>(in.height), Turn(), mirror, OutputMatrix(), nv12, static_cast<int>(out.width),
                       static_cast<int>(out.height)};
  hr = capacity < needed ? MF_E_BUFFERTOOSMALL : renderer_.Render(job) ? S_OK : E_FAIL;
  out_buffer->Unlock();
  if (FAILED(hr)) return hr;
  out_buffer->SetCurrentLength(needed);
  LONGLONG time = 0, duration = 0;
  if (SUCCEEDED(input->GetSampleTime(&time))) output->SetSampleTime(time);
  if (SUCCEEDED(input->GetSampleDuration(&duration))) output->SetSampleDuration(duration);
  return S_OK;
}

}  // namespace VellRecorder::StandIns
