// A locked view of one picture in a media buffer: through IMF2DBuffer when the buffer has it (DXGI surface
// buffers do, and give their own pitch), else through a plain lock with the caller's stride.
#pragma once

#include <windows.h>
#include <mfobjects.h>

#include <cstdint>

#include "utils/comptr.h"

namespace VellRecorder::StandIns {

class LockedPicture {
 public:
  LockedPicture() = default;
  ~LockedPicture();
  LockedPicture(const LockedPicture&) = delete;
  LockedPicture& operator=(const LockedPicture&) = delete;

  // `stride` (negative: bottom-up) is used only for buffers without IMF2DBuffer; `rows` of |stride| bytes must
  // fit in the buffer's current length.
  HRESULT Lock(IMFMediaBuffer* buffer, LONG stride, int rows);

  const uint8_t* TopRow() const { return top_row_; }
  LONG Stride() const { return stride_; }

 private:
  ComPtr<IMFMediaBuffer> buffer_;
  ComPtr<IMF2DBuffer> buffer_2d_;
  const uint8_t* top_row_ = nullptr;
  LONG stride_ = 0;
};

}  // namespace VellRecorder::StandIns
