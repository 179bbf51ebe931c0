// Software H.264 encoding with OpenH264: I420 frames in Media Foundation samples in, one sample of
// Annex-B bytes out per frame (SPS and PPS ahead of every IDR frame).
#pragma once

#include <windows.h>
#include <mfobjects.h>

#include <cstdint>
#include <memory>
#include <vector>

#include <wels/codec_api.h>

#include "media_transforms/encodersettings.h"
#include "utils/comptr.h"

namespace VellRecorder::OpenH264 {

struct EncoderSettings {
  uint32_t width;
  uint32_t height;
  uint8_t frame_rate;    // frames per second
  uint8_t idr_interval;  // frames between forced IDR frames
};

// Used by one encoding thread; no lock.
class H264Encoder {
 public:
  // Creates and initialises the encoder; throws Exception when OpenH264 refuses.
  explicit H264Encoder(const EncoderSettings& settings);
  ~H264Encoder();
  H264Encoder(const H264Encoder&) = delete;
  H264Encoder& operator=(const H264Encoder&) = delete;

  // Encodes one frame of settings' size (planar size bytes or more). The result carries the input's
  // time and duration; a frame the encoder skipped gives a sample with an empty buffer. Null when the
  // input cannot be read (the frame then does not count towards the IDR schedule) or when Media
  // Foundation cannot make the output sample.
  ComPtr<IMFSample> Encode(IMFSample* in);
  // The next frame encoded is an IDR frame, besides those of the IDR schedule.
  void ForceKeyframe() { keyframe_requested_ = true; }

  uint32_t Bitrate() const { return bitrate_; }
  uint32_t ThreadCount() const { return thread_count_; }
  uint64_t FrameCount() const { return frame_count_; }

 private:
  struct EncoderDeleter {
    void operator()(ISVCEncoder* encoder) const;
  };

  void Initialize();
  void CollectOutput(const SFrameBSInfo& info);
  ComPtr<IMFSample> BuildSample() const;

  BitrateTable bitrate_table_;
  EncoderSettings settings_;
  uint32_t bitrate_ = 0;
  uint32_t thread_count_ = 1;
  uint64_t frame_count_ = 0;      // frames submitted, across pause and resume
  std::vector<uint8_t> output_;   // reused; only grows
  uint32_t output_length_ = 0;    // bytes of the current frame in output_
  int64_t pending_duration_ = 0;  // 100-ns units, inputs since the last output
  int64_t output_time_ = 0;       // 100-ns units, stamped on the next output
  bool time_taken_ = false;       // output_time_ fixed for the frame in progress
  bool keyframe_requested_ = false;
  std::unique_ptr<ISVCEncoder, EncoderDeleter> encoder_;
};

}  // namespace VellRecorder::OpenH264
