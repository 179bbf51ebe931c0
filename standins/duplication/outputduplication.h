// The stand-in's IDXGIOutputDuplication: the desktop of one output, copied with GDI into a texture on the
// device the duplication was made for, in the output's unrotated layout as DXGI delivers it.
#pragma once

#include <windows.h>
#include <d3d11.h>
#include <dxgi1_2.h>

#include <cstdint>
#include <string>
#include <vector>

#include "comserver/comobject.h"
#include "utils/comptr.h"

namespace VellRecorder::StandIn {

// Like the real one, used by one thread at a time (the capturing one); the reference count is atomic.
class OutputDuplication final : public VellStandin::ComObject<IDXGIOutputDuplication> {
 public:
  // `generation`: the fault generation at creation; a later loss makes the duplication lost for good.
  // `device_name` was claimed for it (Faults::ClaimOutput); it releases the claim when destroyed.
  OutputDuplication(IDXGIOutput* output, ID3D11Device* device, uint64_t generation, std::wstring device_name);

  // IDXGIObject: private data is not kept; the parent is the output.
  HRESULT STDMETHODCALLTYPE SetPrivateData(REFGUID, UINT, const void*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetPrivateDataInterface(REFGUID, const IUnknown*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetPrivateData(REFGUID, UINT*, void*) override { return DXGI_ERROR_NOT_FOUND; }
  HRESULT STDMETHODCALLTYPE GetParent(REFIID riid, void** parent) override;
  // IDXGIOutputDuplication
  void STDMETHODCALLTYPE GetDesc(DXGI_OUTDUPL_DESC* desc) override;
  HRESULT STDMETHODCALLTYPE AcquireNextFrame(UINT timeout_ms, DXGI_OUTDUPL_FRAME_INFO* info,
                                             IDXGIResource** resource) override;
  HRESULT STDMETHODCALLTYPE GetFrameDirtyRects(UINT size, RECT* rects, UINT* required) override;
  HRESULT STDMETHODCALLTYPE GetFrameMoveRects(UINT size, DXGI_OUTDUPL_MOVE_RECT* rects, UINT* required) override;
  HRESULT STDMETHODCALLTYPE GetFramePointerShape(UINT size, void* buffer, UINT* required,
                                                 DXGI_OUTDUPL_POINTER_SHAPE_INFO* info) override;
  HRESULT STDMETHODCALLTYPE MapDesktopSurface(DXGI_MAPPED_RECT*) override { return DXGI_ERROR_UNSUPPORTED; }
  HRESULT STDMETHODCALLTYPE UnMapDesktopSurface() override { return DXGI_ERROR_INVALID_CALL; }
  HRESULT STDMETHODCALLTYPE ReleaseFrame() override;

 private:
  ~OutputDuplication() override;
  // IDXGIOutputDuplication's ancestor IDXGIObject answers too.
  void* Find(REFIID riid) override;
  bool IsLost() const;
  bool IsTurned() const;
  // The desktop image's size: the output's, with the sides swapped when it is turned by a quarter.
  SIZE ImageSize() const;
  HRESULT CreateDesktopTexture();
  HRESULT CopyDesktop();
  void ReportPointer(DXGI_OUTDUPL_FRAME_INFO* info);

  ComPtr<IDXGIOutput> output_;
  ComPtr<ID3D11Device> device_;
  ComPtr<ID3D11DeviceContext> context_;
  ComPtr<ID3D11Texture2D> texture_;  // the desktop image, one for the life of the duplication, as on Windows
  const uint64_t generation_;
  const std::wstring device_name_;
  RECT desktop_{};  // the output's desktop coordinates
  DXGI_MODE_ROTATION rotation_ = DXGI_MODE_ROTATION_IDENTITY;
  // The GDI copy of the desktop, then uploaded into texture_.
  HDC memory_dc_ = nullptr;
  HBITMAP bitmap_ = nullptr;
  HGDIOBJ replaced_ = nullptr;
  void* bits_ = nullptr;
  std::vector<uint32_t> unrotated_;  // the GDI copy in the output's unrotated layout, for a turned output
  bool frame_held_ = false;
  // What the previous frame reported of the pointer, to report changes only, as the real duplication does.
  bool pointer_reported_ = false;
  POINT pointer_position_{};
  bool pointer_visible_ = false;
  HCURSOR pointer_cursor_ = nullptr;
};

}  // namespace VellRecorder::StandIn
