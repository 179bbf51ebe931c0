// A video processor transform for tests, in place of the system's: Wine's processor converts colour but neither
// scales, rotates nor mirrors. This one behaves as Windows' video processor is documented to for what the
// recorder asks of it: ARGB32/RGB32 in, NV12 out at the output type's size (aspect kept, letterboxed when the
// shapes differ), the input type's MF_MT_VIDEO_ROTATION undone unless IMFVideoProcessorControl::SetRotation
// says ROTATION_NONE, SetMirror applied to the upright picture, limited range with the output type's
// MF_MT_YUV_MATRIX (unset: BT.601 up to 576 lines, BT.709 above, as DXVA defines it). Synchronous, one output
// per input. It advertises MF_SA_D3D11_AWARE; with a DXGI device manager set (and MF_XVP_CALLER_ALLOCATES_OUTPUT
// not set) it provides the output samples itself, without one the caller does. Inputs may be memory buffers or
// DXGI surface buffers (read through IMF2DBuffer); the output is always a memory buffer, as Wine's D3D11 does
// not make NV12 render targets.
#pragma once

#include <windows.h>
#include <unknwn.h>

namespace VellRecorder::StandIns {

// A new stand-in processor, as CoCreateInstance would return it.
HRESULT CreateVideoProcessor(REFIID riid, void** object);

// While alive, CoCreateInstance(clsid) in this process (CLSCTX_INPROC_SERVER) creates the stand-in: the class
// object is registered in the process's own class table, which COM consults before the registry. Create and
// destroy it on one thread, with COM initialised.
class ScopedVideoProcessorRegistration {
 public:
  explicit ScopedVideoProcessorRegistration(const CLSID& clsid);
  ~ScopedVideoProcessorRegistration();
  ScopedVideoProcessorRegistration(const ScopedVideoProcessorRegistration&) = delete;
  ScopedVideoProcessorRegistration& operator=(const ScopedVideoProcessorRegistration&) = delete;

  HRESULT Result() const { return result_; }

 private:
  DWORD cookie_ = 0;
  HRESULT result_;
};

}  // namespace VellRecorder::StandIns
