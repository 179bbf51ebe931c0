// The system's AAC encoder transform: the recording format (16-bit PCM) in, raw AAC-LC frames out, each of
// which the audio session hands to the sink behind the ADTS header written here.
#pragma once

#include <windows.h>
#include <mmreg.h>

#include <cstdint>

#include "media_transforms/media_foundation/mft.h"

namespace VellRecorder::MediaFoundation {

struct AACEncoderSettings {
  WAVEFORMATEX in_wfx{};                // 16-bit PCM
  uint32_t output_sample_rate = 48000;  // 48000 or 44100: the rates the ADTS header is written for
  uint32_t output_bitrate = 96000;      // bits per second
  uint32_t output_bits_per_sample = 16;
};

// Threading: as MFT.
class AACEncoder : public MFT {
 public:
  explicit AACEncoder(const AACEncoderSettings& settings);

  // Checks the settings (16-bit input; an output rate the ADTS header can carry), creates the encoder and
  // sets both media types. The first failure is returned: E_INVALIDARG for settings it cannot take, so that
  // no frame is ever encoded that could not be framed.
  HRESULT Initialize();
  // The 7-byte ADTS header of one AAC frame of payload_size bytes; *header_size = 7. Throws std::length_error
  // for a frame longer than the header can describe (8191 bytes; an AAC-LC frame never comes near).
  void WriteADTSHeader(uint8_t header[7], uint16_t payload_size, uint32_t* header_size) const;
  const AACEncoderSettings& GetSettings() const { return enc_settings_; }
  // The recording's audio format (RecordingAudio) in, 96000 bit/s out.
  static AACEncoderSettings RecordingSettings();

 private:
  HRESULT CheckSettings() const;
  HRESULT CreateMediaTypes();

  const AACEncoderSettings enc_settings_;
};

}  // namespace VellRecorder::MediaFoundation
