// The system's audio resampler transform: one capture device's PCM (any rate and channel count) in, the one
// recording format out (48 kHz mono 16-bit). The caller allocates the output buffers; they hold at least one
// second of input-rate bytes, so one ProcessOutput takes everything a second of input can produce.
#pragma once

#include <windows.h>
#include <mmreg.h>

#include <cstdint>

#include "media_transforms/media_foundation/mft.h"

namespace VellRecorder::MediaFoundation {

// Threading: as MFT.
class AudioResampler : public MFT {
 public:
  AudioResampler(const WAVEFORMATEXTENSIBLE& input, const WAVEFORMATEXTENSIBLE& output);

  // Creates the transform, sets both media types and asks for the highest quality filter where the
  // transform offers the setting. The first failure is returned.
  HRESULT Initialize();
  // The input's bytes per second.
  uint32_t GetMinOutputBufferSize() const override;
  // The recording's audio format (RecordingAudio), as Media Foundation describes it.
  static WAVEFORMATEXTENSIBLE RecordingFormat();

 private:
  HRESULT CreateMediaTypes();
  void SetHighestQuality();

  const WAVEFORMATEXTENSIBLE input_;
  const WAVEFORMATEXTENSIBLE output_;
};

}  // namespace VellRecorder::MediaFoundation
