// Encoder tuning shared by the hardware and software H.264 paths. Needs no Windows API.
#pragma once

#include <cstdint>
#include <map>

namespace VellRecorder {

// Target bitrate (bits per second) by frame area (pixels). A frame takes the first row whose area is at
// least its own, so sizes between the typical ones round up to the next row.
class BitrateTable {
 public:
  BitrateTable();

  // A frame larger than the last row (beyond 3840x2160) gets the last row's bitrate: more pixels than
  // the table knows still deserve the highest rate rather than none.
  uint32_t GetBitrate(uint32_t width, uint32_t height) const;

 private:
  std::map<uint64_t, uint32_t> rows_;
};

// The encoders' peak-bitrate ceiling: the target times the factor, truncated.
uint32_t MaxBitrate(uint32_t bitrate, double factor);

// Worker threads for OpenH264: more only for large frames on machines with the cores to spare.
// `cores` is what std::thread::hardware_concurrency reports (0 when it cannot tell).
uint32_t OpenH264ThreadCount(uint64_t area, uint32_t cores);

// Whether both H.264 encoders take pictures of this size. A size either refuses fails at every frame
// ("Encode error") or, worse, passes a 32-bit size check by overflowing it and then allocates for the real
// size, so sizes are checked before anything is built for them.
//
// OpenH264 2.3.1 (the software path, the fallback that must always work):
// - EncodeFrame refuses pictures narrower or lower than 16 pixels (welsEncoderExt.cpp, EncodeFrameInternal).
// - InitializeExt rounds the layer size up to whole 16x16 macroblocks and refuses more than MAX_MBS_PER_FRAME
//   = 36864 of them (encoder_ext.cpp, ParamValidationExt), level 5.2's frame-size limit (MaxFS); its test
//   multiplies in 32 bits, so 65536x65536 wraps to 0 and passes.
// - Level 5.2 also bounds each side to sqrt(8 x MaxFS) = 543 macroblocks, 8688 pixels. OpenH264 does not
//   refuse a longer side: finding no level that fits (au_set.cpp, WelsCheckLevelLimitation) it labels the
//   stream level 5.1, which the stream then breaks, and players may refuse it. Refused here.
// The hardware path's Media Foundation H.264 encoders take the frame size through MF_MT_FRAME_SIZE on their
// output type and refuse a size outside their own limits there (SetOutputType fails), which moves the
// recording to the software path. Their limits are narrower and vary: Microsoft documents its own H.264
// encoder on Windows 8 as limited to 2048 x 2048 (KB 2829223), and hardware encoders differ by vendor. The
// software path is the fallback every recording may land on, so its limits decide whether a recording can
// be made at all, whatever encoder the machine happens to have.
constexpr uint32_t kMinEncodedSide = 16;
constexpr uint64_t kMaxEncodedMacroblocks = 36864;
constexpr uint64_t kMaxEncodedSideMacroblocks = 543;
bool EncoderAcceptsSize(int64_t width, int64_t height);

}  // namespace VellRecorder
