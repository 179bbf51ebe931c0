// The stand-in encoder's picture work: reading an NV12 frame from a sample (system memory or a DXGI
// surface) and compressing it with OpenH264 into one Annex-B access unit.
#pragma once

#include <windows.h>
#include <mfobjects.h>

#include <cstdint>
#include <memory>
#include <vector>

#include <wels/codec_api.h>

namespace VellStandin {

struct EncoderConfig {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t frame_rate = 30;
  uint32_t gop_size = 0;  // frames between IDR frames; 0 = only the first
  uint32_t mean_bitrate = 0;
  uint32_t max_bitrate = 0;  // 0 = no peak constraint
};

struct AccessUnit {
  std::vector<uint8_t> bytes;
  bool keyframe = false;
  LONGLONG time = 0;
  LONGLONG duration = 0;
};

// Reads the NV12 picture of `sample` into `i420` (planar, tightly packed). Samples whose buffer is a DXGI
// surface are copied through a staging texture, as a hardware encoder's input stage would read them.
HRESULT ReadNV12Sample(IMFSample* sample, uint32_t width, uint32_t height, std::vector<uint8_t>* i420);

// The SPS and PPS NAL units of an Annex-B access unit, with their start codes, in their order; removed from
// `bytes` when `remove` is set.
std::vector<uint8_t> ParameterSets(std::vector<uint8_t>* bytes, bool remove);

// One encoder per stream; used under the transform's lock.
class AccessUnitEncoder {
 public:
  HRESULT Start(const EncoderConfig& config);
  bool started() const { return encoder_ != nullptr; }
  // Every input yields one access unit: no frame skipping, SPS and PPS ahead of every IDR frame.
  HRESULT Encode(const std::vector<uint8_t>& i420, AccessUnit* out);
  // The next frame encoded is an IDR frame (also when asked before the encoder started).
  void ForceKeyframe() { force_keyframe_ = true; }

 private:
  struct Deleter {
    void operator()(ISVCEncoder* encoder) const;
  };
  EncoderConfig config_;
  uint64_t frames_ = 0;
  bool force_keyframe_ = false;
  std::unique_ptr<ISVCEncoder, Deleter> encoder_;
};

}  // namespace VellStandin
