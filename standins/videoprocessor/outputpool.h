// The output samples of a processor that provides them, as one with a Direct3D device manager does: a few
// samples allocated once and handed out again and again. A sample goes back to the pool only when nobody but the
// pool holds it or its buffer: a caller that keeps either reference after it is done with the picture starves
// the pool (MF_E_SAMPLEALLOCATOR_EMPTY, as a video sample allocator with no free sample answers), and no caller
// ever sees the bytes it holds overwritten by a later picture.
#pragma once

#include <windows.h>
#include <mfapi.h>
#include <mfidl.h>

#include <cstddef>
#include <vector>

#include "utils/comptr.h"

namespace VellRecorder::StandIns {

// Used under the transform's lock.
class OutputPool {
 public:
  // 0: no pool, a new sample for every output (the lenient behaviour).
  explicit OutputPool(size_t capacity) : capacity_(capacity) {}

  // A free sample with one memory buffer of `bytes` bytes, its times and attributes cleared; a new one while the
  // pool is not full. Samples of another size are dropped first (the output type changed).
  HRESULT Take(DWORD bytes, ComPtr<IMFSample>* sample);
  // Drops the pool's references; samples still held elsewhere live on with their holders.
  void Clear() { slots_.clear(); }
  size_t Capacity() const { return capacity_; }
  void SetCapacity(size_t capacity) { capacity_ = capacity; }

 private:
  struct Slot {
    ComPtr<IMFSample> sample;
    ComPtr<IMFMediaBuffer> buffer;  // the sample's one buffer
  };
  bool IsFree(const Slot& slot) const;
  HRESULT AddSlot(DWORD bytes);

  size_t capacity_;
  DWORD bytes_ = 0;
  std::vector<Slot> slots_;
};

}  // namespace VellRecorder::StandIns
