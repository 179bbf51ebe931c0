// Owners of kernel handles.
#pragma once

#include <windows.h>

#include <utility>

namespace VellRecorder {

// Closes a kernel handle (event, pipe, process, thread). Null and INVALID_HANDLE_VALUE mean "none".
class ScopedHandle {
 public:
  ScopedHandle() = default;
  explicit ScopedHandle(HANDLE h) : h_(h) {}
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  ScopedHandle(ScopedHandle&& other) noexcept : h_(std::exchange(other.h_, INVALID_HANDLE_VALUE)) {}
  ScopedHandle& operator=(ScopedHandle&& other) noexcept {
    if (this != &other) Reset(std::exchange(other.h_, INVALID_HANDLE_VALUE));
    return *this;
  }
  ~ScopedHandle() { Reset(); }

  HANDLE Get() const { return h_; }
  bool IsValid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
  void Reset(HANDLE h = INVALID_HANDLE_VALUE) {
    if (IsValid()) CloseHandle(h_);
    h_ = h;
  }

 private:
  HANDLE h_ = INVALID_HANDLE_VALUE;
};

}  // namespace VellRecorder
