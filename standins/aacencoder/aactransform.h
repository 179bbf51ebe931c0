// A stand-in for the system's AAC encoder transform (CLSID_AACMFTEncoder), for test prefixes where Wine
// offers none, built on vo-aacenc. Towards its callers it behaves as that encoder is documented to: a
// synchronous transform taking 16-bit PCM at 44.1 or 48 kHz, mono or stereo, and putting out raw AAC-LC
// frames (no ADTS header) at 12000, 16000, 20000 or 24000 bytes per second into samples the caller
// allocates. The output type can be set only once the input type is. One frame comes out per 1024 input
// samples per channel, stamped with the time of the input sample that holds its first sample and lasting
// 1024 samples; input is refused (MF_E_NOTACCEPTING) while output waits to be collected; a drain hands out the
// last partial frame padded with silence.
//
// Strictness (VELL_AAC_STANDIN_STRICT, comma-separated, read when the object is created): "frames-at-once=N"
// keeps encoded frames until N are ready and then has all N waiting at once, so that a caller must collect
// several outputs before it may give input again (default 2: the system's encoder takes input of any length and
// has as many frames waiting as it held; a caller that collects one output per input loses the rest);
// "lenient" is frames-at-once=1. A drain hands out everything.
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

  // An encoded frame and its time.
  struct Frame {
    std::vector<uint8_t> bytes;
    int64_t time = 0;
  };

  AacEncoderTransform();
  ~AacEncoderTransform() override = default;

  uint32_t FrameBytes() const { return AacFrameEncoder::kFrameSamples * block_align_; }
  // Output waits: frames were released, or a drain has anything left.
  bool FrameReady() const;
  // Encodes every whole frame buffered (and, draining, the last partial one) and releases them once enough are
  // ready.
  HRESULT EncodeBuffered();
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
  std::deque<Frame> frames_;       // encoded, oldest first; the first `released_` wait for a caller's sample
  size_t released_ = 0;
  size_t frames_at_once_ = 2;      // fixed after construction
  bool draining_ = false;
};

}  // namespace VellStandin
