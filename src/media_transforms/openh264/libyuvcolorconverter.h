// Desktop frames (32-bit B, G, R, A in memory) to planar I420, on the CPU.
#pragma once

#include <windows.h>
#include <mfobjects.h>

#include <cstdint>
#include <memory>

#include "media_transforms/videoframelayout.h"
#include "media_transforms/mediabufferpool.h"
#include "utils/comptr.h"

namespace VellRecorder::Libyuv {

// Used by one pipeline thread at a time; no lock.
class ColorConverter {
 public:
  // The layout of the captured frames (the capture size, not the output size).
  explicit ColorConverter(const VideoFrameLayout& layout) : layout_(layout) {}
  ColorConverter(uint32_t width, uint32_t height, uint8_t bytes_per_pixel)
      : layout_(width, height, bytes_per_pixel) {}

  // Replaces *dst with a buffer of its own holding the I420 frame of `src` (current length = the planar
  // size); its memory is reused once nobody holds it any more. 0 on success, -1 on failure (logged); *dst
  // may then hold an empty buffer.
  int Process(IMFMediaBuffer* src, ComPtr<IMFMediaBuffer>* dst);

  const VideoFrameLayout& Layout() const { return layout_; }

 private:
  // Unused output frames kept: the converter writes one while the next stages still hold the one before.
  static constexpr size_t kKeptFrames = 3;
  // The pool for output buffers of `length` bytes, made on first use.
  MediaBufferPool* Buffers(DWORD length);

  VideoFrameLayout layout_;
  std::unique_ptr<MediaBufferPool> pool_;
};

}  // namespace VellRecorder::Libyuv
