#include "media_transforms/mediabufferpool.h"

#include <mfapi.h>
#include <mferror.h>

#include <atomic>
#include <new>
#include <utility>

#include "tracehr.h"

namespace VellRecorder {
namespace {

// A system-memory IMFMediaBuffer over a pool block. Lock does not exclude other lockers (as with the system's
// memory buffers): the pipeline's frame slots decide who reads and writes.
class PooledMediaBuffer final : public IMFMediaBuffer {
 public:
  explicit PooledMediaBuffer(FramePool::Block block) : block_(std::move(block)) {}

  STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (riid == __uuidof(IUnknown) || riid == __uuidof(IMFMediaBuffer)) {
      *object = static_cast<IMFMediaBuffer*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;  // the block goes back to its pool
    return left;
  }

  STDMETHODIMP Lock(BYTE** data, DWORD* max_length, DWORD* current_length) override {
    if (data == nullptr) return E_POINTER;
    *data = block_.Data();
    if (max_length != nullptr) *max_length = MaxLength();
    if (current_length != nullptr) *current_length = current_length_;
    return S_OK;
  }
  STDMETHODIMP Unlock() override { return S_OK; }
  STDMETHODIMP GetCurrentLength(DWORD* length) override {
    if (length == nullptr) return E_POINTER;
    *length = current_length_;
    return S_OK;
  }
  STDMETHODIMP SetCurrentLength(DWORD length) override {
    if (length > MaxLength()) return E_INVALIDARG;
    current_length_ = length;
    return S_OK;
  }
  STDMETHODIMP GetMaxLength(DWORD* length) override {
    if (length == nullptr) return E_POINTER;
    *length = MaxLength();
    return S_OK;
  }

 private:
  ~PooledMediaBuffer() = default;
  DWORD MaxLength() const { return static_cast<DWORD>(block_.Size()); }

  std::atomic<ULONG> references_{1};
  FramePool::Block block_;
  // Written by the stage filling the buffer before it passes the buffer on under a slot's mutex.
  DWORD current_length_ = 0;
};

}  // namespace

MediaBufferPool::MediaBufferPool(DWORD max_length, size_t max_kept) : pool_(max_length, max_kept) {}

HRESULT MediaBufferPool::Create(ComPtr<IMFMediaBuffer>* out) {
  FramePool::Block block = pool_.Acquire();
  if (block.Data() == nullptr) return VELL_TRACE_FAILURE(E_OUTOFMEMORY);
  auto* buffer = new (std::nothrow) PooledMediaBuffer(std::move(block));
  if (buffer == nullptr) return VELL_TRACE_FAILURE(E_OUTOFMEMORY);
  out->Attach(buffer);
  return S_OK;
}

}  // namespace VellRecorder
