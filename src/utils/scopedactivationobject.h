// Owner of the activation objects that MFTEnumEx and MFEnumDeviceSources return: releases every element and
// frees the array. Its enumerations hand the system's HRESULT back untraced: every caller records a failure
// under its own name, as the failure convention asks.
#pragma once

#include <windows.h>
#include <mfapi.h>
#include <mfidl.h>
#include <mftransform.h>

namespace VellRecorder {

class ScopedActivationObject {
 public:
  ScopedActivationObject() = default;
  ~ScopedActivationObject() { Clear(); }
  ScopedActivationObject(const ScopedActivationObject&) = delete;
  ScopedActivationObject& operator=(const ScopedActivationObject&) = delete;

  // MFTEnumEx into this holder (what it held before is released first).
  HRESULT MFTEnum(const GUID& category, UINT32 flags, const MFT_REGISTER_TYPE_INFO* input_type,
                  const MFT_REGISTER_TYPE_INFO* output_type) {
    Clear();
    return MFTEnumEx(category, flags, input_type, output_type, &activations_, &count_);
  }

  // MFEnumDeviceSources into this holder (what it held before is released first).
  HRESULT EnumDeviceSources(IMFAttributes* attributes) {
    Clear();
    return MFEnumDeviceSources(attributes, &activations_, &count_);
  }

  UINT32 Count() const { return count_; }
  // Borrowed: the holder keeps the reference.
  IMFActivate* operator[](UINT32 index) const { return activations_[index]; }

 private:
  void Clear() {
    for (UINT32 i = 0; i < count_; ++i) {
      if (activations_[i]) activations_[i]->Release();
    }
    CoTaskMemFree(activations_);
    activations_ = nullptr;
    count_ = 0;
  }

  IMFActivate** activations_ = nullptr;
  UINT32 count_ = 0;
};

}  // namespace VellRecorder
