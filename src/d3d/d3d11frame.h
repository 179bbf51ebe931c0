// The Direct3D 11 frame: a device on the adapter of the recorded output, one BGRA texture of the capture size
// that the screen source copies each desktop image into, that texture as a Media Foundation buffer, and the
// DXGI device manager the transforms share with it. The texture has the output's unrotated layout, as desktop
// duplication delivers a turned output's image: its sides are swapped for an output turned by a quarter, and
// the video processor turns the picture upright.
#pragma once

#include <windows.h>
#include <d3d11.h>
#include <dxgi1_2.h>
#include <mfobjects.h>

#include "d3d/d3dframe.h"
#include "utils/comptr.h"

namespace VellRecorder {

// DXGI_MODE_ROTATION in clockwise degrees: 90, 180 or 270, else 0 (identity, unspecified).
int DxgiRotationDegrees(DXGI_MODE_ROTATION rotation);

// Initialised once on the control thread; afterwards the capture thread copies into the texture and draws into
// it through GetDC while the transforms use the device through the manager. The device is multithread-protected,
// which is what makes that sharing of the immediate context safe. Accessors add no reference.
class D3D11Frame final : public D3DFrame {
 public:
  D3D11Frame() = default;
  ~D3D11Frame() = default;
  D3D11Frame(const D3D11Frame&) = delete;
  D3D11Frame& operator=(const D3D11Frame&) = delete;

  // Finds the output, creates the device on its adapter, the texture with the device manager, and the media
  // buffer, in that order; returns the first failure. `size` is as laid out on the desktop (0 x 0: the
  // output's), the texture's the unrotated one. What was created before a failure stays until destruction.
  HRESULT Initialize(const std::wstring& output_name, SIZE size) override;
  // A holder with a null DC when the surface gives none ("Failed to get DC from surface" is logged).
  std::unique_ptr<SurfaceDC> GetDC() override;
  IMFDXGIDeviceManager* GetDeviceManager() override { return device_manager_.Get(); }

  IDXGIOutput1* GetOutput() const { return output_.Get(); }
  ID3D11Device* GetDevice() const { return device_.Get(); }
  ID3D11DeviceContext* GetContext() const { return context_.Get(); }
  ID3D11Texture2D* GetTexture() const { return texture_.Get(); }
  IMFMediaBuffer* GetMFBuffer() const { return mf_buffer_.Get(); }
  D3D11_TEXTURE2D_DESC GetTextureDesc() const { return texture_desc_; }
  // The output's rotation when the frame was made, clockwise degrees (0, 90, 180, 270): the turn that takes the
  // texture's picture to the desktop as laid out.
  int RotationDegrees() const { return rotation_degrees_; }

 private:
  HRESULT FindOutput(const std::wstring& output_name);
  HRESULT CreateDevice();
  HRESULT CreateTexture(SIZE size);
  HRESULT CreateMFBuffer();

  // Released in reverse order of declaration.
  ComPtr<IMFMediaBuffer> mf_buffer_;
  ComPtr<IDXGIAdapter> adapter_;  // the adapter of output_
  ComPtr<ID3D11DeviceContext> context_;
  ComPtr<ID3D11Device> device_;
  ComPtr<ID3D11Texture2D> texture_;
  ComPtr<IDXGISurface1> surface_;  // texture_ as a DXGI surface, for GetDC
  ComPtr<IDXGIOutput1> output_;
  ComPtr<IMFDXGIDeviceManager> device_manager_;
  D3D11_TEXTURE2D_DESC texture_desc_{};
  int rotation_degrees_ = 0;
};

}  // namespace VellRecorder
