#include "media_transforms/openh264/libyuvcolorconverter.h"

#include <mfapi.h>

#include <libyuv.h>

#include "media_transforms/bufferloader.h"
#include "media_transforms/openh264/i420layout.h"
#include "tracehr.h"

namespace VellRecorder::Libyuv {

ColorConverter::ColorConverter(uint32_t width, uint32_t height, uint32_t bytes_per_pixel)
    : width_(width),
      height_(height),
      luma_size_(width * height),
      luma_plus_quarter_(luma_size_ + luma_size_ / 4),
      planar_size_(luma_size_ * 3 / 2),
      bytes_per_pixel_(bytes_per_pixel) {}

int ColorConverter::Process(IMFMediaBuffer* src, ComPtr<IMFMediaBuffer>* dst) {
  HRESULT hr = MFCreateMemoryBuffer(static_cast<DWORD>(I420AccessExtent(width_, height_)),
                                    dst->ReleaseAndGetAddressOf());
  if (FAILED(hr)) {
    VELL_TRACE_FAILURE(hr);
    return -1;
  }
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
    if (pixels->length < PackedReadExtent(width_, height_, bytes_per_pixel_)) {
      LOG_ERROR << "Error converting to NV12: source holds " << pixels->length << " bytes, too few for "
                << width_ << "x" << height_;
      return -1;
    }
    BYTE* y = planes->data;
    result = libyuv::ARGBToI420(pixels->data, static_cast<int>(width_ * bytes_per_pixel_), y, static_cast<int>(width_),
                                y + luma_size_, static_cast<int>(width_ / 2), y + luma_plus_quarter_,
                                static_cast<int>(width_ / 2), static_cast<int>(width_), static_cast<int>(height_));
  }
  if (result != 0) {
    LOG_ERROR << "Error converting to NV12";
    return -1;
  }
  hr = (*dst)->SetCurrentLength(planar_size_);
  if (FAILED(hr)) {
    VELL_TRACE_FAILURE(hr);
    return -1;
  }
  return 0;
}

}  // namespace VellRecorder::Libyuv
