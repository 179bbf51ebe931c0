// Media buffers whose memory comes from a FramePool: a pipeline stage hands out an IMFMediaBuffer per frame, as
// before, but the memory behind it is reused once nobody holds the buffer any more.
#pragma once

#include <windows.h>
#include <mfobjects.h>

#include <cstddef>

#include "media_transforms/framepool.h"
#include "utils/comptr.h"

namespace VellRecorder {

// Safe to use from several threads (the pool locks); the buffers it creates may be released on any thread.
class MediaBufferPool {
 public:
  // Buffers of max_length bytes; at most max_kept unused blocks of memory are kept.
  MediaBufferPool(DWORD max_length, size_t max_kept);

  // A buffer of the pool's length, current length 0, whose memory goes back to the pool when its last reference
  // is released. Until then no other buffer of the pool is given that memory: a frame that has been passed on
  // is never overwritten while a stage or a sample still holds it.
  HRESULT Create(ComPtr<IMFMediaBuffer>* out);

  DWORD MaxLength() const { return static_cast<DWORD>(pool_.BlockSize()); }
  const FramePool& Pool() const { return pool_; }

 private:
  FramePool pool_;
};

}  // namespace VellRecorder
