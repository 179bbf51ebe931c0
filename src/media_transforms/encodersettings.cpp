#include "media_transforms/encodersettings.h"

namespace VellRecorder {

BitrateTable::BitrateTable()
    : rows_{
          {230400, 400000},     // 640x360
          {409920, 600000},     // 854x480
          {921600, 3000000},    // 1280x720
          {1049088, 3000000},   // 1366x768
          {1260000, 4000000},   // 1400x900
          {2073600, 5000000},   // 1920x1080
          {3686400, 6000000},   // 2560x1440
          {8294400, 15000000},  // 3840x2160
      } {}

uint32_t BitrateTable::GetBitrate(uint32_t width, uint32_t height) const {
  // 64-bit area: two 32-bit sides must not wrap around into a small frame's row.
  const uint64_t area = static_cast<uint64_t>(width) * height;
  const auto row = rows_.lower_bound(area);
  return row != rows_.end() ? row->second : rows_.rbegin()->second;
}

uint32_t MaxBitrate(uint32_t bitrate, double factor) {
  return static_cast<uint32_t>(bitrate * factor);
}

uint32_t OpenH264ThreadCount(uint64_t area, uint32_t cores) {
  if (area >= 2073600 && cores >= 9) return 8;
  if (area > 1228800 && cores >= 6) return 3;
  if (area > 307200 && cores >= 3) return 2;
  return 1;
}

bool EncoderAcceptsSize(int64_t width, int64_t height) {
  if (width < kMinEncodedSide || height < kMinEncodedSide) return false;
  const int64_t mb_width = (width + 15) / 16;
  const int64_t mb_height = (height + 15) / 16;
  if (mb_width > static_cast<int64_t>(kMaxEncodedSideMacroblocks)) return false;
  if (mb_height > static_cast<int64_t>(kMaxEncodedSideMacroblocks)) return false;
  return mb_width * mb_height <= static_cast<int64_t>(kMaxEncodedMacroblocks);
}

}  // namespace VellRecorder
