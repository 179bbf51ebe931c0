// The stand-in AAC encoder's codec: vo-aacenc compressing one block of 1024 samples per channel into one
// raw AAC-LC frame (no ADTS header), as the transform hands it out.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include <vo-aacenc/voAAC.h>

namespace VellStandin {

// One encoder per stream; used under the transform's lock.
class AacFrameEncoder {
 public:
  static constexpr uint32_t kFrameSamples = 1024;  // per channel
  // ISO/IEC 14496-3 caps an AAC-LC frame at 6144 bits per channel.
  static constexpr size_t kMaxFrameBytesPerChannel = 768;

  AacFrameEncoder() = default;
  ~AacFrameEncoder();
  AacFrameEncoder(const AacFrameEncoder&) = delete;
  AacFrameEncoder& operator=(const AacFrameEncoder&) = delete;

  HRESULT Start(uint32_t sample_rate, uint32_t channels, uint32_t bits_per_second);
  void Stop();
  bool started() const { return handle_ != nullptr; }
  // `pcm` holds kFrameSamples * channels interleaved signed 16-bit samples; `frame` receives the frame.
  HRESULT Encode(const int16_t* pcm, std::vector<uint8_t>* frame);

 private:
  VO_AUDIO_CODECAPI api_{};
  VO_MEM_OPERATOR memory_{};
  VO_HANDLE handle_ = nullptr;
  uint32_t channels_ = 0;
};

}  // namespace VellStandin
