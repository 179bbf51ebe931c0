#include "videoprocessor/lockedpicture.h"

#include <mferror.h>

#include <cstdlib>

namespace VellRecorder::StandIns {

LockedPicture::~LockedPicture() {
  if (buffer_2d_) {
    buffer_2d_->Unlock2D();
  } else if (buffer_) {
    buffer_->Unlock();
  }
}

HRESULT LockedPicture::Lock(IMFMediaBuffer* buffer, LONG stride, int rows) {
  ComPtr<IMF2DBuffer> buffer_2d;
  if (SUCCEEDED(buffer->QueryInterface(IID_IMF2DBuffer, reinterpret_cast<void**>(buffer_2d.ReleaseAndGetAddressOf())))) {
    BYTE* scan0 = nullptr;
    LONG pitch = 0;
    const HRESULT hr = buffer_2d->Lock2D(&scan0, &pitch);
    if (FAILED(hr)) return hr;
    buffer_2d_ = buffer_2d;
    top_row_ = scan0;
    stride_ = pitch;
    return S_OK;
  }
  BYTE* data = nullptr;
  DWORD length = 0;
  const HRESULT hr = buffer->Lock(&data, nullptr, &length);
  if (FAILED(hr)) return hr;
  buffer_ = ComPtr<IMFMediaBuffer>(buffer);
  const size_t row_bytes = static_cast<size_t>(std::labs(stride));
  if (length < row_bytes * static_cast<size_t>(rows)) return MF_E_BUFFERTOOSMALL;
  top_row_ = stride < 0 ? data + row_bytes * static_cast<size_t>(rows - 1) : data;
  stride_ = stride;
  return S_OK;
}

}  // namespace VellRecorder::StandIns
