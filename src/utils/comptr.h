// Owning COM interface pointer: one reference, released on destruction and on reassignment.
#pragma once

#include <unknwn.h>

#include <utility>

namespace VellRecorder {

template <typename T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(std::nullptr_t) {}
  // Adds a reference: the caller keeps its own.
  explicit ComPtr(T* p) : p_(p) { if (p_) p_->AddRef(); }
  ComPtr(const ComPtr& other) : ComPtr(other.p_) {}
  ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  ~ComPtr() { Reset(); }

  ComPtr& operator=(ComPtr other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }

  T* Get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }

  // Releases what is held, then hands out the slot for an API that returns a new reference.
  T** ReleaseAndGetAddressOf() {
    Reset();
    return &p_;
  }
  void Reset() {
    if (T* p = std::exchange(p_, nullptr)) p->Release();
  }
  // Takes over a reference the caller owns.
  void Attach(T* p) {
    Reset();
    p_ = p;
  }
  // Gives up ownership of the reference to the caller.
  [[nodiscard]] T* Detach() { return std::exchange(p_, nullptr); }

  template <typename U>
  HRESULT As(ComPtr<U>* out) const {
    return p_->QueryInterface(__uuidof(U), reinterpret_cast<void**>(out->ReleaseAndGetAddressOf()));
  }

 private:
  T* p_ = nullptr;
};

}  // namespace VellRecorder
