// The GPU-side picture of a hardware screen recording, as the screen sources and transforms see it.
#pragma once

#include <windows.h>
#include <dxgi1_2.h>

#include <memory>
#include <string>

struct IMFDXGIDeviceManager;

namespace VellRecorder {

// A device context on a DXGI surface, released on destruction. Callers draw with GDI and destroy the holder
// before Direct3D uses the surface again.
class SurfaceDC {
 public:
  // `dc` may be null (no DC was obtained); `surface` is borrowed and must outlive the holder.
  SurfaceDC(HDC dc, IDXGISurface1* surface) : dc_(dc), surface_(surface) {}
  ~SurfaceDC() {
    if (dc_ != nullptr) surface_->ReleaseDC(nullptr);
  }
  SurfaceDC(const SurfaceDC&) = delete;
  SurfaceDC& operator=(const SurfaceDC&) = delete;

  HDC Get() const { return dc_; }

 private:
  HDC dc_;
  IDXGISurface1* surface_;
};

// Owners hold the concrete frame and destroy it as such: the base has no virtual destructor on purpose.
class D3DFrame {
 public:
  // `output_name`: a DXGI output's DeviceName (\\.\DISPLAY1), or empty for the first output found.
  // A zero width or height means the output's desktop size.
  virtual HRESULT Initialize(const std::wstring& output_name, SIZE size) = 0;
  virtual std::unique_ptr<SurfaceDC> GetDC() = 0;
  // Borrowed: the frame keeps its reference.
  virtual IMFDXGIDeviceManager* GetDeviceManager() = 0;

 protected:
  D3DFrame() = default;
  ~D3DFrame() = default;
};

}  // namespace VellRecorder
