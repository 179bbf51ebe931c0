#include "d3d/d3d11frame.h"

#include <d3d10.h>
#include <mfapi.h>

#include <utility>

#include "d3d/bgratexture.h"
#include "d3d/optionalfunctions.h"
#include "tracehr.h"

namespace VellRecorder {

int DxgiRotationDegrees(DXGI_MODE_ROTATION rotation) {
  switch (rotation) {
    case DXGI_MODE_ROTATION_ROTATE90: return 90;
    case DXGI_MODE_ROTATION_ROTATE180: return 180;
    case DXGI_MODE_ROTATION_ROTATE270: return 270;
    default: return 0;
  }
}

HRESULT D3D11Frame::Initialize(const std::wstring& output_name, SIZE size) {
  RETURN_IF_FAILED(FindOutput(output_name));
  RETURN_IF_FAILED(CreateDevice());
  RETURN_IF_FAILED(CreateTexture(size));
  RETURN_IF_FAILED(CreateMFBuffer());
  return S_OK;
}

std::unique_ptr<SurfaceDC> D3D11Frame::GetDC() {
  HDC dc = nullptr;
  if (!surface_ || FAILED(surface_->GetDC(FALSE, &dc))) dc = nullptr;
  if (dc == nullptr) LOG_ERROR << "Failed to get DC from surface";
  return std::make_unique<SurfaceDC>(dc, surface_.Get());
}

// The first output of any adapter whose device name equals `output_name` exactly (case-sensitive), or the
// first output of all when the name is empty. An output that cannot describe itself is passed over: it
// could not be matched, and its desktop size could not be read later either.
HRESULT D3D11Frame::FindOutput(const std::wstring& output_name) {
  ComPtr<IDXGIFactory1> factory;
  RETURN_IF_FAILED(CreateDXGIFactory1(IID_IDXGIFactory1, reinterpret_cast<void**>(factory.ReleaseAndGetAddressOf())));
  for (UINT i = 0;; ++i) {
    const HRESULT adapter_hr = factory->EnumAdapters(i, adapter_.ReleaseAndGetAddressOf());
    if (adapter_hr == DXGI_ERROR_NOT_FOUND) break;
    RETURN_IF_FAILED(adapter_hr);
    for (UINT j = 0;; ++j) {
      ComPtr<IDXGIOutput> candidate;
      const HRESULT output_hr = adapter_->EnumOutputs(j, candidate.ReleaseAndGetAddressOf());
      if (output_hr == DXGI_ERROR_NOT_FOUND) break;
      // An adapter that cannot list its outputs (removed, reset) answers the same for every index: next adapter.
      if (FAILED(output_hr)) {
        VELL_TRACE_FAILURE(output_hr);
        break;
      }
      DXGI_OUTPUT_DESC desc{};
      if (!candidate || FAILED(candidate->GetDesc(&desc))) continue;
      if (!output_name.empty() && output_name != desc.DeviceName) continue;
      RETURN_IF_FAILED(candidate.As(&output_));
      rotation_degrees_ = DxgiRotationDegrees(desc.Rotation);
      return S_OK;
    }
  }
  adapter_.Reset();
  LOG_ERROR << "No suitable IDXGIOutput found";
  return E_FAIL;
}

HRESULT D3D11Frame::CreateDevice() {
  context_.Reset();
  device_.Reset();
  RETURN_IF_FAILED(D3D11CreateDevice(adapter_.Get(), D3D_DRIVER_TYPE_UNKNOWN, nullptr,
                                     D3D11_CREATE_DEVICE_VIDEO_SUPPORT, nullptr, 0, D3D11_SDK_VERSION,
                                     device_.ReleaseAndGetAddressOf(), nullptr, context_.ReleaseAndGetAddressOf()));
  ComPtr<ID3D10Multithread> multithread;
  RETURN_IF_FAILED(device_.As(&multithread));
  multithread->SetMultithreadProtected(TRUE);
  return S_OK;
}

HRESULT D3D11Frame::CreateTexture(SIZE size) {
  UINT width = static_cast<UINT>(size.cx);
  UINT height = static_cast<UINT>(size.cy);
  if (size.cx == 0 || size.cy == 0) {
    DXGI_OUTPUT_DESC desc{};
    RETURN_IF_FAILED(output_->GetDesc(&desc));
    width = static_cast<UINT>(desc.DesktopCoordinates.right - desc.DesktopCoordinates.left);
    height = static_cast<UINT>(desc.DesktopCoordinates.bottom - desc.DesktopCoordinates.top);
  }
  if (rotation_degrees_ == 90 || rotation_degrees_ == 270) std::swap(width, height);
  texture_desc_ = BgraTextureDesc(width, height);
  // BGRA and GDI-compatible together are what let GetDC work on the texture (the cursor overlay).
  texture_desc_.MiscFlags = D3D11_RESOURCE_MISC_GDI_COMPATIBLE;

  UINT reset_token = 0;
  RETURN_IF_FAILED(
      OptionalFunctions::Get().MFCreateDXGIDeviceManager(&reset_token, device_manager_.ReleaseAndGetAddressOf()));
  RETURN_IF_FAILED(device_manager_->ResetDevice(device_.Get(), reset_token));
  RETURN_IF_FAILED(device_->CreateTexture2D(&texture_desc_, nullptr, texture_.ReleaseAndGetAddressOf()));
  RETURN_IF_FAILED(texture_.As(&surface_));
  return S_OK;
}

// One buffer for the life of the frame: every sample wraps it, so a sample shows whatever the texture holds
// when a transform reads it.
HRESULT D3D11Frame::CreateMFBuffer() {
  RETURN_IF_FAILED(OptionalFunctions::Get().MFCreateDXGISurfaceBuffer(
      IID_ID3D11Texture2D, texture_.Get(), 0, FALSE, mf_buffer_.ReleaseAndGetAddressOf()));
  // A new surface buffer reports a current length of 0, which transforms read as an empty sample.
  DWORD length = 0;
  ComPtr<IMF2DBuffer> buffer_2d;
  if (FAILED(mf_buffer_.As(&buffer_2d)) || FAILED(buffer_2d->GetContiguousLength(&length))) {
    RETURN_IF_FAILED(mf_buffer_->GetMaxLength(&length));
  }
  RETURN_IF_FAILED(mf_buffer_->SetCurrentLength(length));
  return S_OK;
}

}  // namespace VellRecorder
