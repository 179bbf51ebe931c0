#include "media_transforms/media_foundation/h264encoder.h"

#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
// After the Windows headers, so that the codec property identifiers are declared with their GUIDs.
#include <codecapi.h>
#include <strmif.h>

#include <algorithm>
#include <cstdint>

#include "tracehr.h"
#include "utils/scopedactivationobject.h"
#include "utils/windowsversion.h"

namespace VellRecorder::MediaFoundation {

EncoderSettings EncoderSettings::Recording(uint32_t width, uint32_t height, uint32_t frame_rate,
                                           uint32_t frame_rate_denominator) {
  EncoderSettings settings;
  settings.width = width;
  settings.height = height;
  settings.frame_rate = frame_rate;
  settings.frame_rate_denominator = frame_rate_denominator == 0 ? 1 : frame_rate_denominator;
  const uint32_t gop = frame_rate / settings.frame_rate_denominator * kKeyframeIntervalSeconds;
  settings.gop_size = static_cast<uint8_t>(std::min<uint32_t>(gop, UINT8_MAX));
  return settings;
}

H264Encoder::H264Encoder(const EncoderSettings& settings) : enc_settings_(settings) {
  // Hardware encoders keep frames in flight even in low-latency mode and pass each frame's time on.
  outputs_carry_input_times_ = true;
}

H264Encoder::~H264Encoder() {
  if (activate_) activate_->ShutdownObject();
  activate_.Reset();
}

uint32_t H264Encoder::GetBitrate() const {
  const uint32_t bitrate = bitrate_table_.GetBitrate(enc_settings_.width, enc_settings_.height);
  if (IsAsync()) return bitrate;
  // Before Windows 8 a synchronous (software) encoder is given ten times the table's rate.
  return IsWindowsVersionOrGreater(6, 2, 0) ? bitrate : bitrate * 10;
}

HRESULT H264Encoder::Initialize() {
  RETURN_IF_FAILED(SelectMFT());
  return S_OK;
}

HRESULT H264Encoder::SelectMFT() {
  ScopedActivationObject activations;
  const MFT_REGISTER_TYPE_INFO input = {MFMediaType_Video, MFVideoFormat_NV12};
  const MFT_REGISTER_TYPE_INFO output = {MFMediaType_Video, MFVideoFormat_H264};
  RETURN_IF_FAILED(activations.MFTEnum(MFT_CATEGORY_VIDEO_ENCODER,
                                       MFT_ENUM_FLAG_SYNCMFT | MFT_ENUM_FLAG_HARDWARE | MFT_ENUM_FLAG_SORTANDFILTER,
                                       &input, &output));
  if (activations.Count() == 0) {
    LOG_ERROR << "no MFT found";
    return E_FAIL;
  }
  // Sort-and-filter puts hardware transforms first: the first that accepts the configuration is used.
  for (UINT32 i = 0; i < activations.Count(); ++i) {
    if (SUCCEEDED(InitializeMFT(activations[i]))) {
      LogMFTName();
      return S_OK;
    }
  }
  LOG_ERROR << "No suitable h264 encoder was found";
  return E_FAIL;
}

HRESULT H264Encoder::InitializeMFT(IMFActivate* activate) {
  activate_ = ComPtr<IMFActivate>(activate);
  transform_.Reset();
  RETURN_IF_FAILED(activate_->ActivateObject(IID_IMFTransform, reinterpret_cast<void**>(
                                                                   transform_.ReleaseAndGetAddressOf())));
  RETURN_IF_FAILED(DetectAsyncMFT());
  RETURN_IF_FAILED(SetEncoderProperties());
  RETURN_IF_FAILED(CreateMediaTypes());
  if (enc_settings_.device_manager) {
    RETURN_IF_FAILED(SetDirect3DManager(reinterpret_cast<ULONG_PTR>(enc_settings_.device_manager)));
  }
  if (!enc_settings_.media_session_streams) RETURN_IF_FAILED(NotifyStartOfStreeam());
  return S_OK;
}

ComPtr<IMFTransform> H264Encoder::HandOverTransform() {
  // The activation object is let go without ShutdownObject: that would shut the handed-over transform down.
  activate_.Reset();
  event_generator_.Reset();
  return std::move(transform_);
}

HRESULT H264Encoder::SetEncoderProperties() {
  const uint32_t bitrate = GetBitrate();
  const CodecProperty properties[] = {
      {&CODECAPI_AVEncMPVGOPSize, enc_settings_.gop_size, false},
      {&CODECAPI_AVEncCommonRateControlMode, eAVEncCommonRateControlMode_PeakConstrainedVBR, false},
      {&CODECAPI_AVLowLatencyMode, 1, true},
      {&CODECAPI_AVEncCommonMaxBitRate, MaxBitrate(bitrate, enc_settings_.max_bitrate_factor), false},
      {&CODECAPI_AVEncCommonMeanBitRate, bitrate, false},
      {&CODECAPI_AVEncCommonQualityVsSpeed, enc_settings_.quality_vs_speed, false},
  };
  ComPtr<IMFAttributes> attributes;
  const HRESULT hr = transform_->GetAttributes(attributes.ReleaseAndGetAddressOf());
  if (FAILED(hr) && hr != E_NOTIMPL) return VELL_TRACE_FAILURE(hr);
  if (SUCCEEDED(hr) && attributes) {
    for (const CodecProperty& property : properties) {
      RETURN_IF_FAILED(attributes->SetUINT32(*property.id, property.value));
    }
  }
  // A property an encoder does not support leaves its default in place and is no reason to refuse the encoder.
  for (const CodecProperty& property : properties) {
    const HRESULT set = SetCodecProperty(transform_.Get(), *property.id, property.value, property.boolean);
    if (set == E_NOINTERFACE) break;  // no ICodecAPI: the attribute store is all the encoder reads
    if (FAILED(set)) LOG_DEBUG << "codec property not taken: " << HrText(set);
  }
  return S_OK;
}

void H264Encoder::RequestKeyframe() {
  const HRESULT hr = MediaFoundation::RequestKeyframe(transform_.Get());
  if (FAILED(hr)) LOG_DEBUG << "no keyframe on request: " << HrText(hr);
}

HRESULT SetCodecProperty(IUnknown* encoder, const GUID& property, uint32_t value, bool boolean) {
  ComPtr<ICodecAPI> codec_api;
  const HRESULT hr =
      encoder->QueryInterface(IID_ICodecAPI, reinterpret_cast<void**>(codec_api.ReleaseAndGetAddressOf()));
  if (FAILED(hr)) return hr;
  VARIANT variant;
  VariantInit(&variant);
  if (boolean) {
    variant.vt = VT_BOOL;
    variant.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
  } else {
    variant.vt = VT_UI4;
    variant.ulVal = value;
  }
  return codec_api->SetValue(&property, &variant);
}

HRESULT RequestKeyframe(IUnknown* encoder) { return SetCodecProperty(encoder, CODECAPI_AVEncVideoForceKeyFrame, 1); }

std::vector<uint8_t> SequenceHeader(IMFTransform* encoder) {
  ComPtr<IMFMediaType> type;
  UINT8* blob = nullptr;
  UINT32 size = 0;
  if (!encoder || FAILED(encoder->GetOutputCurrentType(0, type.ReleaseAndGetAddressOf())) ||
      FAILED(type->GetAllocatedBlob(MF_MT_MPEG_SEQUENCE_HEADER, &blob, &size))) {
    return {};
  }
  std::vector<uint8_t> header(blob, blob + size);
  CoTaskMemFree(blob);
  return header;
}

HRESULT CreateEncoderType(const GUID& subtype, const EncoderSettings& settings, ComPtr<IMFMediaType>* type) {
  RETURN_IF_FAILED(CreateVideoType(subtype, settings.width, settings.height, type));
  RETURN_IF_FAILED(
      MFSetAttributeRatio(type->Get(), MF_MT_FRAME_RATE, settings.frame_rate, settings.frame_rate_denominator));
  RETURN_IF_FAILED(MFSetAttributeRatio(type->Get(), MF_MT_PIXEL_ASPECT_RATIO, 1, 1));
  return S_OK;
}

HRESULT H264Encoder::CreateOutputType() {
  RETURN_IF_FAILED(CreateEncoderType(MFVideoFormat_H264, enc_settings_, &output_type_));
  IMFMediaType* type = output_type_.Get();
  RETURN_IF_FAILED(type->SetUINT32(MF_MT_AVG_BITRATE, GetBitrate()));
  RETURN_IF_FAILED(type->SetUINT32(MF_MT_MPEG2_PROFILE, eAVEncH264VProfile_Base));
  // The encoder chooses the level.
  RETURN_IF_FAILED(type->SetUINT32(MF_MT_MPEG2_LEVEL, 0xFFFFFFFFu));
  LOG_DEBUG << "OUTPUT -- H264 " << enc_settings_.width << "x" << enc_settings_.height << " at "
            << enc_settings_.frame_rate << "/" << enc_settings_.frame_rate_denominator << " fps, " << GetBitrate()
            << " bit/s";
  RETURN_IF_FAILED(transform_->SetOutputType(0, type, 0));
  return S_OK;
}

HRESULT H264Encoder::CreateInputType() {
  RETURN_IF_FAILED(CreateEncoderType(MFVideoFormat_NV12, enc_settings_, &input_type_));
  IMFMediaType* type = input_type_.Get();
  LOG_DEBUG << "INPUT -- NV12 " << enc_settings_.width << "x" << enc_settings_.height;
  RETURN_IF_FAILED(transform_->SetInputType(0, type, 0));
  return S_OK;
}

HRESULT H264Encoder::CreateMediaTypes() {
  LOG_DEBUG << "BEGIN: Setting media types for H264 Encoder";
  // Output first: encoders offer input types only once the output type is in place.
  RETURN_IF_FAILED(CreateOutputType());
  RETURN_IF_FAILED(CreateInputType());
  LOG_DEBUG << "END: Setting media types for H264 Encoder";
  return S_OK;
}

}  // namespace VellRecorder::MediaFoundation
