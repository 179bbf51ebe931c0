// Construction, interfaces, media types and stream information of the stand-in AAC encoder.
#include "aactransform.h"

#include <mfapi.h>
#include <mferror.h>

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <string>

namespace VellStandin {
namespace {

const UINT32 kSampleRates[] = {48000, 44100};
const UINT32 kChannelCounts[] = {2, 1};
const UINT32 kBytesPerSecond[] = {12000, 16000, 20000, 24000};  // the first is the default
const UINT32 kProfileLevels[] = {0x29, 0x2A, 0x2B, 0x2C, 0x2E, 0x2F, 0x30, 0x31, 0x32, 0x33};
constexpr UINT32 kDefaultProfileLevel = 0x29;

template <size_t N>
bool OneOf(UINT32 value, const UINT32 (&allowed)[N]) {
  return std::find(std::begin(allowed), std::end(allowed), value) != std::end(allowed);
}

bool IsType(IMFMediaType* type, const GUID& subtype) {
  GUID major = GUID_NULL;
  GUID minor = GUID_NULL;
  return SUCCEEDED(type->GetGUID(MF_MT_MAJOR_TYPE, &major)) && major == MFMediaType_Audio &&
         SUCCEEDED(type->GetGUID(MF_MT_SUBTYPE, &minor)) && minor == subtype;
}

// An optional attribute: absent, or equal to `expected`.
bool AbsentOrEqual(IMFMediaType* type, REFGUID key, UINT32 expected) {
  UINT32 value = 0;
  return FAILED(type->GetUINT32(key, &value)) || value == expected;
}

struct PcmFormat {
  UINT32 rate = 0;
  UINT32 channels = 0;
};

bool ReadPcmType(IMFMediaType* type, PcmFormat* format) {
  if (!IsType(type, MFAudioFormat_PCM) || MFGetAttributeUINT32(type, MF_MT_AUDIO_BITS_PER_SAMPLE, 0) != 16) {
    return false;
  }
  format->rate = MFGetAttributeUINT32(type, MF_MT_AUDIO_SAMPLES_PER_SECOND, 0);
  format->channels = MFGetAttributeUINT32(type, MF_MT_AUDIO_NUM_CHANNELS, 0);
  const UINT32 block = format->channels * 2;
  return OneOf(format->rate, kSampleRates) && OneOf(format->channels, kChannelCounts) &&
         AbsentOrEqual(type, MF_MT_AUDIO_BLOCK_ALIGNMENT, block) &&
         AbsentOrEqual(type, MF_MT_AUDIO_AVG_BYTES_PER_SECOND, format->rate * block);
}

// The rate and channels must be the input's; the byte rate defaults to the lowest.
bool ReadAacType(IMFMediaType* type, const PcmFormat& input, UINT32* bytes_per_second) {
  *bytes_per_second = MFGetAttributeUINT32(type, MF_MT_AUDIO_AVG_BYTES_PER_SECOND, kBytesPerSecond[0]);
  return IsType(type, MFAudioFormat_AAC) && MFGetAttributeUINT32(type, MF_MT_AUDIO_BITS_PER_SAMPLE, 0) == 16 &&
         MFGetAttributeUINT32(type, MF_MT_AUDIO_SAMPLES_PER_SECOND, 0) == input.rate &&
         MFGetAttributeUINT32(type, MF_MT_AUDIO_NUM_CHANNELS, 0) == input.channels &&
         OneOf(*bytes_per_second, kBytesPerSecond) && AbsentOrEqual(type, MF_MT_AAC_PAYLOAD_TYPE, 0) &&
         OneOf(MFGetAttributeUINT32(type, MF_MT_AAC_AUDIO_PROFILE_LEVEL_INDICATION, kDefaultProfileLevel),
               kProfileLevels);
}

HRESULT MakeType(const GUID& subtype, UINT32 rate, UINT32 channels, ComPtr<IMFMediaType>* out) {
  HRESULT hr = MFCreateMediaType(out->ReleaseAndGetAddressOf());
  IMFMediaType* type = out->Get();
  if (SUCCEEDED(hr)) hr = type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio);
  if (SUCCEEDED(hr)) hr = type->SetGUID(MF_MT_SUBTYPE, subtype);
  if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, 16);
  if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, rate);
  if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, channels);
  return hr;
}

HRESULT CopyType(IMFMediaType* type, ComPtr<IMFMediaType>* out) {
  HRESULT hr = MFCreateMediaType(out->ReleaseAndGetAddressOf());
  if (SUCCEEDED(hr)) hr = type->CopyAllItems(out->Get());
  return hr;
}

// What the encoder adds to the output type it accepted: the rest of HEAACWAVEINFO after its WAVEFORMATEX
// (payload type, profile level, structure type, two reserved fields) followed by the AudioSpecificConfig
// of ISO/IEC 14496-3 (object type 2 = AAC LC, sampling-frequency index, channel configuration).
HRESULT CompleteAacType(IMFMediaType* type, UINT32 rate, UINT32 channels, UINT32 bytes_per_second) {
  const UINT32 profile = MFGetAttributeUINT32(type, MF_MT_AAC_AUDIO_PROFILE_LEVEL_INDICATION, kDefaultProfileLevel);
  const unsigned index = rate == 48000 ? 3 : 4;
  const uint16_t config = static_cast<uint16_t>((2u << 11) | (index << 7) | (channels << 3));
  const BYTE user_data[14] = {0, 0, static_cast<BYTE>(profile), 0, 0, 0, 0, 0, 0, 0, 0, 0,
                              static_cast<BYTE>(config >> 8), static_cast<BYTE>(config & 0xFF)};
  HRESULT hr = type->SetUINT32(MF_MT_AUDIO_AVG_BYTES_PER_SECOND, bytes_per_second);
  if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_AUDIO_BLOCK_ALIGNMENT, 1);
  if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_AAC_PAYLOAD_TYPE, 0);
  if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_AAC_AUDIO_PROFILE_LEVEL_INDICATION, profile);
  if (SUCCEEDED(hr)) hr = type->SetBlob(MF_MT_USER_DATA, user_data, sizeof(user_data));
  return hr;
}

}  // namespace

AacEncoderTransform::AacEncoderTransform() {
  char strict[128] = {};
  if (GetEnvironmentVariableA("VELL_AAC_STANDIN_STRICT", strict, sizeof(strict)) == 0) return;
  const std::string list = "," + std::string(strict) + ",";
  const size_t at_once = list.find(",frames-at-once=");
  if (at_once != std::string::npos) {
    frames_at_once_ = std::max<size_t>(1, std::strtoul(list.c_str() + at_once + 16, nullptr, 10));
  }
  if (list.find(",lenient,") != std::string::npos) frames_at_once_ = 1;
}

HRESULT AacEncoderTransform::Create(REFIID riid, void** object) {
  return HandOut(new (std::nothrow) AacEncoderTransform(), S_OK, riid, object);
}

HRESULT AacEncoderTransform::GetInputStreamInfo(DWORD id, MFT_INPUT_STREAM_INFO* info) {
  if (id != 0) return MF_E_INVALIDSTREAMNUMBER;
  if (!info) return E_POINTER;
  std::lock_guard<std::mutex> lock(mutex_);
  *info = {};
  info->cbSize = block_align_;  // any whole number of sample frames
  return S_OK;
}

HRESULT AacEncoderTransform::GetOutputStreamInfo(DWORD id, MFT_OUTPUT_STREAM_INFO* info) {
  if (id != 0) return MF_E_INVALIDSTREAMNUMBER;
  if (!info) return E_POINTER;
  std::lock_guard<std::mutex> lock(mutex_);
  *info = {};
  // The caller allocates; one buffer holds the largest frame the channels allow (stereo before the types
  // say otherwise).
  info->dwFlags = MFT_OUTPUT_STREAM_WHOLE_SAMPLES | MFT_OUTPUT_STREAM_SINGLE_SAMPLE_PER_BUFFER;
  const uint32_t channels = block_align_ ? block_align_ / 2 : 2;
  info->cbSize = static_cast<DWORD>(AacFrameEncoder::kMaxFrameBytesPerChannel * channels);
  return S_OK;
}

HRESULT AacEncoderTransform::GetInputAvailableType(DWORD id, DWORD index, IMFMediaType** type) {
  if (id != 0) return MF_E_INVALIDSTREAMNUMBER;
  if (!type) return E_POINTER;
  std::lock_guard<std::mutex> lock(mutex_);
  ComPtr<IMFMediaType> offered;
  HRESULT hr = S_OK;
  if (output_type_) {
    // Only the format the output type fixed.
    if (index > 0) return MF_E_NO_MORE_TYPES;
    hr = MakeType(MFAudioFormat_PCM, sample_rate_, block_align_ / 2, &offered);
  } else {
    if (index >= std::size(kSampleRates) * std::size(kChannelCounts)) return MF_E_NO_MORE_TYPES;
    const UINT32 rate = kSampleRates[index / std::size(kChannelCounts)];
    const UINT32 channels = kChannelCounts[index % std::size(kChannelCounts)];
    hr = MakeType(MFAudioFormat_PCM, rate, channels, &offered);
  }
  if (SUCCEEDED(hr)) *type = offered.Detach();
  return hr;
}

HRESULT AacEncoderTransform::GetOutputAvailableType(DWORD id, DWORD index, IMFMediaType** type) {
  if (id != 0) return MF_E_INVALIDSTREAMNUMBER;
  if (!type) return E_POINTER;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!input_type_) return MF_E_TRANSFORM_TYPE_NOT_SET;
  if (index >= std::size(kBytesPerSecond)) return MF_E_NO_MORE_TYPES;
  const UINT32 channels = block_align_ / 2;
  ComPtr<IMFMediaType> offered;
  HRESULT hr = MakeType(MFAudioFormat_AAC, sample_rate_, channels, &offered);
  if (SUCCEEDED(hr)) hr = CompleteAacType(offered.Get(), sample_rate_, channels, kBytesPerSecond[index]);
  if (SUCCEEDED(hr)) *type = offered.Detach();
  return hr;
}

HRESULT AacEncoderTransform::SetInputType(DWORD id, IMFMediaType* type, DWORD flags) {
  if (id != 0) return MF_E_INVALIDSTREAMNUMBER;
  std::lock_guard<std::mutex> lock(mutex_);
  PcmFormat format;
  if (type) {
    if (!ReadPcmType(type, &format)) return MF_E_INVALIDMEDIATYPE;
    if (output_type_ && (format.rate != sample_rate_ || format.channels * 2 != block_align_)) {
      return MF_E_INVALIDMEDIATYPE;
    }
  }
  if (flags & MFT_SET_TYPE_TEST_ONLY) return S_OK;
  ComPtr<IMFMediaType> accepted;
  if (type) {
    HRESULT hr = CopyType(type, &accepted);
    if (SUCCEEDED(hr)) hr = accepted->SetUINT32(MF_MT_AUDIO_BLOCK_ALIGNMENT, format.channels * 2);
    if (SUCCEEDED(hr)) hr = accepted->SetUINT32(MF_MT_AUDIO_AVG_BYTES_PER_SECOND, format.rate * format.channels * 2);
    if (FAILED(hr)) return hr;
  } else {
    output_type_.Reset();  // the output type follows the input's format
  }
  input_type_ = accepted;
  sample_rate_ = format.rate;
  block_align_ = format.channels * 2;
  Flush();
  encoder_.Stop();
  return S_OK;
}

HRESULT AacEncoderTransform::SetOutputType(DWORD id, IMFMediaType* type, DWORD flags) {
  if (id != 0) return MF_E_INVALIDSTREAMNUMBER;
  std::lock_guard<std::mutex> lock(mutex_);
  UINT32 bytes_per_second = 0;
  if (type) {
    if (!input_type_) return MF_E_TRANSFORM_TYPE_NOT_SET;
    if (!ReadAacType(type, PcmFormat{sample_rate_, block_align_ / 2u}, &bytes_per_second)) {
      return MF_E_INVALIDMEDIATYPE;
    }
  }
  if (flags & MFT_SET_TYPE_TEST_ONLY) return S_OK;
  ComPtr<IMFMediaType> accepted;
  if (type) {
    HRESULT hr = CopyType(type, &accepted);
    if (SUCCEEDED(hr)) hr = CompleteAacType(accepted.Get(), sample_rate_, block_align_ / 2, bytes_per_second);
    if (FAILED(hr)) return hr;
  }
  output_type_ = accepted;
  Flush();
  encoder_.Stop();
  return S_OK;
}

HRESULT AacEncoderTransform::GetInputCurrentType(DWORD id, IMFMediaType** type) {
  std::lock_guard<std::mutex> lock(mutex_);
  return HandOutHeldType(id, input_type_.Get(), type);
}

HRESULT AacEncoderTransform::GetOutputCurrentType(DWORD id, IMFMediaType** type) {
  std::lock_guard<std::mutex> lock(mutex_);
  return HandOutHeldType(id, output_type_.Get(), type);
}

}  // namespace VellStandin
