#include "media_transforms/media_foundation/audioresampler.h"

#include <mfapi.h>
#include <wmcodecdsp.h>

#include <cstdio>
#include <string>

#include "media_transforms/recordingaudio.h"
#include "tracehr.h"

namespace VellRecorder::MediaFoundation {
namespace {

// IWMResamplerProps: not declared by mingw's headers. Not every resampler has it (Wine's does not).
constexpr IID kIidResamplerProps = {0xe7e9984f, 0xf09f, 0x4da4, {0x90, 0x3f, 0x6e, 0x2e, 0x0e, 0xfe, 0x56, 0xb5}};
struct IResamplerProps : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE SetHalfFilterLength(LONG half_filter_length) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetUserChannelMtx(float* channel_matrix) = 0;
};

// The highest quality the resampler offers.
constexpr LONG kHalfFilterLength = 60;

bool IsFloat(const WAVEFORMATEXTENSIBLE& format) {
  if (format.Format.wFormatTag == WAVE_FORMAT_IEEE_FLOAT) return true;
  // The audio subtypes are the wave format tags' GUIDs, the same as the extensible form's SubFormat.
  return format.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE && format.SubFormat == MFAudioFormat_Float;
}

// "44100 Hz, 2 channels, 16 bits, mask 0x3", for the media type records.
std::string Describe(const WAVEFORMATEX& format, UINT32 mask) {
  char text[96];
  std::snprintf(text, sizeof(text), "%lu Hz, %u channels, %u bits, mask 0x%x",
                static_cast<unsigned long>(format.nSamplesPerSec), format.nChannels, format.wBitsPerSample, mask);
  return text;
}

HRESULT CreatePcmType(const WAVEFORMATEX& format, const GUID& subtype, UINT32 channel_mask, ComPtr<IMFMediaType>* out) {
  RETURN_IF_FAILED(MFCreateMediaType(out->ReleaseAndGetAddressOf()));
  IMFMediaType* type = out->Get();
  // Only the creation is checked: the transform refuses a type it cannot take at Set...Type.
  type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio);
  type->SetGUID(MF_MT_SUBTYPE, subtype);
  type->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, format.nSamplesPerSec);
  type->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, format.nChannels);
  type->SetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, format.wBitsPerSample);
  type->SetUINT32(MF_MT_AUDIO_AVG_BYTES_PER_SECOND, format.nAvgBytesPerSec);
  type->SetUINT32(MF_MT_AUDIO_BLOCK_ALIGNMENT, format.nBlockAlign);
  type->SetUINT32(MF_MT_AUDIO_CHANNEL_MASK, channel_mask);
  type->SetUINT32(MF_MT_ALL_SAMPLES_INDEPENDENT, TRUE);
  return S_OK;
}

}  // namespace

AudioResampler::AudioResampler(const WAVEFORMATEXTENSIBLE& input, const WAVEFORMATEXTENSIBLE& output)
    : input_(input), output_(output) {}

WAVEFORMATEXTENSIBLE AudioResampler::RecordingFormat() {
  WAVEFORMATEXTENSIBLE format{};
  format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  format.Format.nChannels = RecordingAudio::kChannels;
  format.Format.nSamplesPerSec = RecordingAudio::kSampleRate;
  format.Format.wBitsPerSample = RecordingAudio::kBitsPerSample;
  format.Format.nBlockAlign = RecordingAudio::kBlockAlign;
  format.Format.nAvgBytesPerSec = RecordingAudio::kBytesPerSecond;
  format.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
  format.Samples.wValidBitsPerSample = RecordingAudio::kBitsPerSample;
  format.dwChannelMask = SPEAKER_FRONT_CENTER;
  format.SubFormat = MFAudioFormat_PCM;
  return format;
}

uint32_t AudioResampler::GetMinOutputBufferSize() const { return input_.Format.nAvgBytesPerSec; }

HRESULT AudioResampler::Initialize() {
  RETURN_IF_FAILED(CreateMFT(CLSID_CResamplerMediaObject));
  RETURN_IF_FAILED(CreateMediaTypes());
  SetHighestQuality();
  return S_OK;
}

void AudioResampler::SetHighestQuality() {
  ComPtr<IResamplerProps> props;
  const HRESULT hr =
      transform_->QueryInterface(kIidResamplerProps, reinterpret_cast<void**>(props.ReleaseAndGetAddressOf()));
  // Optional: without the setting the resampler runs at its default quality.
  if (FAILED(hr)) {
    VELL_TRACE_FAILURE(hr);
    return;
  }
  props->SetHalfFilterLength(kHalfFilterLength);
}

HRESULT AudioResampler::CreateMediaTypes() {
  LOG_DEBUG << "BEGIN: Setting media types for Audio Resampler";
  // Float input is declared as such (the capture source delivers integer PCM, but a float record declared as
  // PCM would be resampled as noise).
  const GUID& input_subtype = IsFloat(input_) ? MFAudioFormat_Float : MFAudioFormat_PCM;
  RETURN_IF_FAILED(CreatePcmType(input_.Format, input_subtype, input_.dwChannelMask, &input_type_));
  LOG_DEBUG << "INPUT -- " << Describe(input_.Format, input_.dwChannelMask);
  RETURN_IF_FAILED(transform_->SetInputType(0, input_type_.Get(), 0));
  // A record without a speaker layout is the mono recording format: front centre.
  const UINT32 output_mask = output_.dwChannelMask != 0 ? output_.dwChannelMask : SPEAKER_FRONT_CENTER;
  RETURN_IF_FAILED(CreatePcmType(output_.Format, MFAudioFormat_PCM, output_mask, &output_type_));
  LOG_DEBUG << "OUTPUT -- " << Describe(output_.Format, output_mask);
  RETURN_IF_FAILED(transform_->SetOutputType(0, output_type_.Get(), 0));
  LOG_DEBUG << "END: Setting media types for Audio Resampler";
  return S_OK;
}

}  // namespace VellRecorder::MediaFoundation
