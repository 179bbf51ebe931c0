#include "videoprocessor/outputpool.h"

#include <mferror.h>

namespace VellRecorder::StandIns {
namespace {

// How many references an object has now. COM offers no other way to read the count; the pair leaves it as it
// was.
ULONG ReferencesTo(IUnknown* object) {
  object->AddRef();
  return object->Release();
}

}  // namespace

// Free: the pool's own references only (the slot's on the sample; the slot's and the sample's on the buffer).
bool OutputPool::IsFree(const Slot& slot) const {
  return ReferencesTo(slot.sample.Get()) == 1 && ReferencesTo(slot.buffer.Get()) == 2;
}

HRESULT OutputPool::AddSlot(DWORD bytes) {
  Slot slot;
  HRESULT hr = MFCreateSample(slot.sample.ReleaseAndGetAddressOf());
  if (SUCCEEDED(hr)) hr = MFCreateMemoryBuffer(bytes, slot.buffer.ReleaseAndGetAddressOf());
  if (SUCCEEDED(hr)) hr = slot.sample->AddBuffer(slot.buffer.Get());
  if (SUCCEEDED(hr)) slots_.push_back(slot);
  return hr;
}

HRESULT OutputPool::Take(DWORD bytes, ComPtr<IMFSample>* sample) {
  if (bytes != bytes_) {
    slots_.clear();
    bytes_ = bytes;
  }
  if (capacity_ == 0) slots_.clear();
  const Slot* chosen = nullptr;
  for (const Slot& slot : slots_) {
    if (IsFree(slot)) {
      chosen = &slot;
      break;
    }
  }
  if (!chosen) {
    if (capacity_ != 0 && slots_.size() >= capacity_) return MF_E_SAMPLEALLOCATOR_EMPTY;
    if (HRESULT hr = AddSlot(bytes); FAILED(hr)) return hr;
    chosen = &slots_.back();
  }
  // What the last picture left on it does not belong to the next.
  HRESULT hr = chosen->sample->DeleteAllItems();
  if (SUCCEEDED(hr)) hr = chosen->buffer->SetCurrentLength(0);
  if (FAILED(hr)) return hr;
  *sample = chosen->sample;
  return S_OK;
}

}  // namespace VellRecorder::StandIns
