#include "media_transforms/openh264/libyuvcolorconverter.h"

#include <mfapi.h>

#include <libyuv.h>

#include "media_transforms/bufferloader.h"
#include "media_transforms/openh264/i420layout.h"
#include "tracehr.h"

namespace VellRecorder::Libyuv {

int ColorConverter::Process(IMFMediaBuffer* src, ComPtr<IMFMediaBuffer>* dst) {
  const uint32_t width = layout_.width;
  const uint32_t height = layout_.height;
  dst->Reset();  // the previous frame's memory may come back to the pool right away
  if (FAILED(Buffers(layout_.planarSize)->Create(dst))) return -1;
  int result = -1;
  {
    // Declared in lock order; the source is unlocked first.
    BufferLoader dst_loader((*dst).Get());
    const auto planes = dst_loader.LoadMaxLength();
    if (!planes) return -1;
    BufferLoader src_loader(src);
    const auto pixels = src_loader.LoadMaxLength();
    if (!pixels) {
      LOG_ERROR << "Error converting to NV12: source buffer could not be locked";
      return -1;
    }
    // libyuv trusts the sizes it is given; a short buffer would be read past its end.
    if (pixels->length < PackedReadExtent(width, height, layout_.bytesPerPixel)) {
      LOG_ERROR << "Error converting to NV12: source holds " << pixels->length << " bytes, too few for "
                << width << "x" << height;
      return -1;
    }
    BYTE* y = planes->data;
    const int chroma_stride = static_cast<int>(layout_.chromaStride);
    result = libyuv::ARGBToI420(pixels->data, static_cast<int>(width * layout_.bytesPerPixel), y,
                                static_cast<int>(width), y + layout_.lumaSize, chroma_stride, y + layout_.vOffset,
                                chroma_stride, static_cast<int>(width), static_cast<int>(height));
  }
  if (result != 0) {
    LOG_ERROR << "Error converting to NV12";
    return -1;
  }
  const HRESULT hr = (*dst)->SetCurrentLength(layout_.planarSize);
  if (FAILED(hr)) {
    VELL_TRACE_FAILURE(hr);
    return -1;
  }
  return 0;
}

MediaBufferPool* ColorConverter::Buffers(DWORD length) {
  if (!pool_ || pool_->MaxLength() != length) pool_ = std::make_unique<MediaBufferPool>(length, kKeptFrames);
  return pool_.get();
}

}  // namespace VellRecorder::Libyuv
