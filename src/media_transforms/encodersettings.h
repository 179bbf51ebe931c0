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

}  // namespace VellRecorder
