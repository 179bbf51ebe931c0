#include "media_transforms/media_foundation/aacencoder.h"

#include <mfapi.h>
#include <wmcodecdsp.h>

#include <string>

#include "media_transforms/adtsheader.h"
#include "media_transforms/media_foundation/audioresampler.h"
#include "media_transforms/recordingaudio.h"
#include "tracehr.h"

namespace VellRecorder::MediaFoundation {

AACEncoder::AACEncoder(const AACEncoderSettings& settings) : enc_settings_(settings) {
  outputs_are_whole_frames_ = true;
}

AACEncoderSettings AACEncoder::RecordingSettings() {
  AACEncoderSettings settings;
  // What the resampler puts out, described as plain PCM.
  settings.in_wfx = AudioResampler::RecordingFormat().Format;
  settings.in_wfx.wFormatTag = WAVE_FORMAT_PCM;
  settings.in_wfx.cbSize = 0;
  settings.output_sample_rate = RecordingAudio::kSampleRate;
  settings.output_bitrate = 96000;
  settings.output_bits_per_sample = RecordingAudio::kBitsPerSample;
  return settings;
}

HRESULT AACEncoder::Initialize() {
  RETURN_IF_FAILED(CheckSettings());
  RETURN_IF_FAILED(CreateMFT(CLSID_AACMFTEncoder));
  return CreateMediaTypes();
}

HRESULT AACEncoder::CheckSettings() const {
  if (enc_settings_.in_wfx.wBitsPerSample != 16) {
    LOG_ERROR << "AAC encoder input must be 16-bit PCM, not " << enc_settings_.in_wfx.wBitsPerSample << " bits";
    return VELL_TRACE_FAILURE(E_INVALIDARG);
  }
  // Checked here rather than found at the first frame: the header of a frame at any other rate cannot be
  // written, and that would end the audio thread in the middle of a recording.
  const uint32_t rate = enc_settings_.output_sample_rate;
  if (rate != 48000 && rate != 44100) {
    LOG_ERROR << "AAC encoder output rate " << rate << " Hz has no ADTS header here (48000 or 44100 only)";
    return VELL_TRACE_FAILURE(E_INVALIDARG);
  }
  return S_OK;
}

HRESULT AACEncoder::CreateMediaTypes() {
  LOG_DEBUG << "BEGIN: Setting media types for AAC Encoder";
  const WAVEFORMATEX& in = enc_settings_.in_wfx;
  // Only the creations and the Set...Type calls are checked: the encoder refuses what it cannot take there.
  // No payload type or profile is set: the encoder's defaults (raw AAC-LC) are what the sink frames.
  RETURN_IF_FAILED(MFCreateMediaType(input_type_.ReleaseAndGetAddressOf()));
  input_type_->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio);
  input_type_->SetGUID(MF_MT_SUBTYPE, MFAudioFormat_PCM);
  input_type_->SetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, 16);
  input_type_->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, in.nSamplesPerSec);
  input_type_->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, in.nChannels);
  LOG_DEBUG << "INPUT -- " << in.nSamplesPerSec << " Hz, " << in.nChannels << " channels, 16 bits";
  RETURN_IF_FAILED(transform_->SetInputType(0, input_type_.Get(), 0));

  RETURN_IF_FAILED(MFCreateMediaType(output_type_.ReleaseAndGetAddressOf()));
  output_type_->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio);
  output_type_->SetGUID(MF_MT_SUBTYPE, MFAudioFormat_AAC);
  output_type_->SetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, enc_settings_.output_bits_per_sample);
  output_type_->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, enc_settings_.output_sample_rate);
  output_type_->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, in.nChannels);
  output_type_->SetUINT32(MF_MT_AUDIO_AVG_BYTES_PER_SECOND, enc_settings_.output_bitrate / 8);
  LOG_DEBUG << "OUTPUT -- AAC " << enc_settings_.output_sample_rate << " Hz, " << in.nChannels << " channels, "
            << enc_settings_.output_bitrate / 8 << " bytes/s";
  RETURN_IF_FAILED(transform_->SetOutputType(0, output_type_.Get(), 0));
  LOG_DEBUG << "END: Setting media types for AAC Encoder";
  return S_OK;
}

void AACEncoder::WriteADTSHeader(uint8_t header[7], uint16_t payload_size, uint32_t* header_size) const {
  WriteAdtsHeader(header, payload_size, enc_settings_.output_sample_rate, enc_settings_.in_wfx.nChannels);
  *header_size = kAdtsHeaderSize;
}

}  // namespace VellRecorder::MediaFoundation
