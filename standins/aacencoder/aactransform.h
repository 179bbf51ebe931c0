// A stand-in for the system's AAC encoder transform (CLSID_AACMFTEncoder), for test prefixes where Wine
// offers none, built on vo-aacenc. Towards its callers it behaves as that encoder is documented to: a
// synchronous transform taking 16-bit PCM at 44.1 or 48 kHz, mono or stereo, and putting out raw AAC-LC
// frames (no ADTS header) at 12000, 16000, 20000 or 24000 bytes per second into samples the caller
// allocates. The output type can be set only once the input type is. One frame comes out per 1024 input
// samples per channel, stamped with the time of the input sample that holds its first sample and lasting
// 1024 samples; input is refused (MF_E_NOTACCEPTING) while a whole frame waits to be collected; a drain
// hands out the last partial frame padded with silence.
#pragma once

#include <windows.h>
#include <mfidl.h>
#include <mftransform.h>

#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "aacframeencoder.h"
#include "comserver/onestreamtransform.h"
#include "utils/comptr.h"

namespace VellStandin {

using VellRecorder::ComPtr;

// Threading: every method may be called from any thread; the state below is guarded by mutex_.
// It has no attribute store (GetAttributes: E_NOTIMPL).
class AacEncoderTransform : public OneStreamTransform<> {
 public:
  static HRESULT Create(REFIID riid, void** object);

  // IMFTransform
  VELL_STANDIN_TRANSFORM_METHODS

 private:
  // Where an accepted input sample starts on the stream's sample count, and its time (100-ns units).
  struct InputMark {
    uint64_t first_sample = 0;
    int64_t time = 0;
  };

  AacEncoderTransform() = default;
  ~AacEncoderTransform() override = default;

  uint32_t FrameBytes() const { return AacFrameEncoder::kFrameSamples * block_align_; }
  // A whole frame is buffered, or a partial one while draining.
  bool FrameReady() const;
  HRESULT EncodeNextFrame();
  int64_t TimeOfSample(uint64_t sample) const;
  HRESULT CopyFrameInto(IMFSample* sample);
  void Flush();

  mutable std::mutex mutex_;
  ComPtr<IMFMediaType> input_type_;   // a copy of the caller's, with the derived values added
  ComPtr<IMFMediaType> output_type_;  // likewise
  uint32_t sample_rate_ = 0;
  uint32_t block_align_ = 0;  // bytes per sample frame of all channels
  AacFrameEncoder encoder_;   // started at the first input after the types were set
  std::vector<uint8_t> pcm_;  // accepted input not yet encoded
  std::deque<InputMark> marks_;  // of the inputs whose samples are in pcm_ (and the one before)
  uint64_t encoded_samples_ = 0;  // per channel, since the types were set or the last flush: where the
                                  // next frame starts
  std::vector<uint8_t> frame_;     // encoded, waiting for a caller's sample
  int64_t frame_time_ = 0;
  bool draining_ = false;
};

}  // namespace VellStandin
