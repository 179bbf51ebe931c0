// Screen source of the GPU path: DXGI desktop duplication copies each desktop image into the texture of a
// D3D11Frame, then the cursor is drawn into it with GDI.
#pragma once

#include <windows.h>
#include <d3d11.h>
#include <dxgi1_2.h>

#include <cstdint>

#include "d3d/d3d11frame.h"
#include "media_sources/video/videosource.h"
#include "utils/comptr.h"

namespace VellRecorder {

// Initialised on the control thread, then used by the capture thread of its session only; no locking. The
// frame's device is multithread-protected, which covers the copy while the transforms use the same device.
class DDASource : public VideoSource {
 public:
  explicit DDASource(VideoRecordingSettings settings);
  ~DDASource() override;

  // `frame` is borrowed, already initialised, and outlives the source. E_INVALIDARG when the capture rectangle
  // lies off the frame's output.
  HRESULT Initialize(D3D11Frame* frame);
  // (Re-)creates the duplication of the frame's output. E_ACCESSDENIED: the desktop cannot be duplicated at
  // the moment (secure desktop, lock screen); the owner retries. After any other failure the source has no
  // duplication, and its captures answer DXGI_ERROR_ACCESS_LOST until a later call succeeds.
  // DXGI_ERROR_MODE_CHANGE_IN_PROGRESS: the output is turned otherwise than when the frame was made.
  HRESULT LoadOutputDuplication();

  // S_OK also when no new desktop image was ready: the frame then shows the previous one (the blank picture
  // before the first) with the cursor where it is now. DXGI_ERROR_ACCESS_LOST: call LoadOutputDuplication.
  HRESULT CaptureToD3DFrame() override;
  HRESULT CaptureToSystemMemory(uint8_t** destination) override;

 private:
  HRESULT CreateCaptureTexture();
  HRESULT AcquireFrame();
  HRESULT DrawCursor();

  // 0: acquisition never waits; no new image is not a failure.
  const uint8_t acquire_timeout_ms_ = 0;
  // The last acquired desktop image; until the first one, a blank texture of the frame's description.
  ComPtr<ID3D11Texture2D> acquired_texture_;
  ComPtr<IDXGIOutputDuplication> duplication_;
  ComPtr<IDXGIResource> desktop_resource_;  // from the last successful AcquireNextFrame
  // The capture rectangle within the desktop image, which has the output's unrotated layout like the frame.
  D3D11_BOX copy_box_{};
  D3D11Frame* frame_ = nullptr;
  bool frame_acquired_ = false;          // a desktop frame is held: release it before the next acquisition
  bool desktop_image_acquired_ = false;  // acquired_texture_ is a desktop image, not the blank picture
};

}  // namespace VellRecorder
