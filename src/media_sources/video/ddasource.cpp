#include "media_sources/video/ddasource.h"

#include <algorithm>
#include <vector>

#include "media_sources/video/cursorcopy.h"
#include "media_sources/video/displaygeometry.h"
#include "media_sources/video/rectconv.h"
#include "tracehr.h"

namespace VellRecorder {
namespace {

// The part of `box` that lies inside a texture of `desc`'s size.
D3D11_BOX ClipTo(D3D11_BOX box, const D3D11_TEXTURE2D_DESC& desc) {
  box.right = std::min<UINT>(box.right, desc.Width);
  box.bottom = std::min<UINT>(box.bottom, desc.Height);
  box.left = std::min(box.left, box.right);
  box.top = std::min(box.top, box.bottom);
  return box;
}

}  // namespace

DDASource::DDASource(VideoRecordingSettings settings) : VideoSource(std::move(settings)) {}

DDASource::~DDASource() {
  desktop_resource_.Reset();
  duplication_.Reset();
  acquired_texture_.Reset();
}

HRESULT DDASource::Initialize(D3D11Frame* frame) {
  if (frame == nullptr || frame->GetOutput() == nullptr || frame->GetDevice() == nullptr) {
    return VELL_TRACE_FAILURE(E_POINTER);
  }
  frame_ = frame;
  RETURN_IF_FAILED(LoadOutputDuplication());
  RETURN_IF_FAILED(CreateCaptureTexture());

  // The desktop image covers the whole output in its unrotated layout, like the frame; the capture rectangle
  // is in desktop coordinates, as laid out.
  DXGI_OUTPUT_DESC desc{};
  RETURN_IF_FAILED(frame_->GetOutput()->GetDesc(&desc));
  const DisplayRect box = DuplicatedImageRect(ToDisplayRect(desc.DesktopCoordinates),
                                              ToDisplayRect(settings_.CaptureRect()), frame_->RotationDegrees());
  // Off the output nothing could ever be copied: a recording of a black picture is refused instead.
  if (box.Width() <= 0 || box.Height() <= 0) {
    LOG_ERROR << "The capture rectangle lies off the duplicated output";
    return VELL_TRACE_FAILURE(E_INVALIDARG);
  }
  copy_box_ = {static_cast<UINT>(box.left), static_cast<UINT>(box.top), 0, static_cast<UINT>(box.right),
               static_cast<UINT>(box.bottom), 1};
  return S_OK;
}

HRESULT DDASource::LoadOutputDuplication() {
  if (frame_ == nullptr) return VELL_TRACE_FAILURE(E_POINTER);
  // The frame held by the old duplication goes with it.
  duplication_.Reset();
  frame_acquired_ = false;
  const HRESULT hr = frame_->GetOutput()->DuplicateOutput(frame_->GetDevice(), duplication_.ReleaseAndGetAddressOf());
  if (FAILED(hr)) {
    duplication_.Reset();
    // DXGI lets a process duplicate an output once at a time; its answer names no reason, so it is said here.
    if (hr == E_INVALIDARG) LOG_ERROR << "Desktop duplication refused: this process duplicates the output already";
    // A refusal is expected while the secure desktop shows; the owner retries and says what came of it.
    return hr == E_ACCESSDENIED ? hr : VELL_TRACE_FAILURE(hr);
  }
  // The frame and the video processor are laid out for the rotation the output had when the frame was made.
  DXGI_OUTDUPL_DESC desc{};
  duplication_->GetDesc(&desc);
  if (DxgiRotationDegrees(desc.Rotation) != frame_->RotationDegrees()) {
    LOG_ERROR << "The output turned from " << frame_->RotationDegrees() << " to " << DxgiRotationDegrees(desc.Rotation)
              << " degrees";
    duplication_.Reset();
    return VELL_TRACE_FAILURE(DXGI_ERROR_MODE_CHANGE_IN_PROGRESS);
  }
  return S_OK;
}

// Blank: what a capture shows before the duplication delivered its first image. Filled explicitly, because
// Direct3D leaves a texture created without data undefined.
HRESULT DDASource::CreateCaptureTexture() {
  const D3D11_TEXTURE2D_DESC desc = frame_->GetTextureDesc();
  // Cleared on the GPU: initial data from memory would take a buffer of the whole picture (1 GiB at the
  // largest texture). The frame's textures are render targets.
  RETURN_IF_FAILED(frame_->GetDevice()->CreateTexture2D(&desc, nullptr, acquired_texture_.ReleaseAndGetAddressOf()));
  ComPtr<ID3D11RenderTargetView> view;
  RETURN_IF_FAILED(
      frame_->GetDevice()->CreateRenderTargetView(acquired_texture_.Get(), nullptr, view.ReleaseAndGetAddressOf()));
  const FLOAT black[4] = {0.0f, 0.0f, 0.0f, 0.0f};
  frame_->GetContext()->ClearRenderTargetView(view.Get(), black);
  return S_OK;
}

HRESULT DDASource::AcquireFrame() {
  if (frame_acquired_) {
    const HRESULT released = duplication_->ReleaseFrame();
    // DXGI_ERROR_INVALID_CALL: no frame was actually held.
    if (FAILED(released) && released != DXGI_ERROR_INVALID_CALL) {
      Log::Write(Log::Severity::kError, "VellRecorder::DDASource::ReleaseFrame", __LINE__, HrText(released));
      return VELL_TRACE_FAILURE(released);
    }
    frame_acquired_ = false;
  }
  DXGI_OUTDUPL_FRAME_INFO info{};
  ComPtr<IDXGIResource> resource;
  const HRESULT hr = duplication_->AcquireNextFrame(acquire_timeout_ms_, &info, resource.ReleaseAndGetAddressOf());
  // No new image: the last one (or the blank picture) is shown again.
  if (hr == DXGI_ERROR_WAIT_TIMEOUT) return S_OK;
  RETURN_IF_FAILED(hr);
  frame_acquired_ = true;
  // Into a texture of its own first: a failed query must not leave the last image null for the next time-out.
  ComPtr<ID3D11Texture2D> texture;
  RETURN_IF_FAILED(resource.As(&texture));
  desktop_resource_ = resource;
  acquired_texture_ = texture;
  desktop_image_acquired_ = true;
  return S_OK;
}

HRESULT DDASource::CaptureToD3DFrame() {
  if (frame_ == nullptr) {
    LOG_ERROR << "DDASource is not initialized";
    return E_FAIL;
  }
  // Left without a duplication by a failed re-creation: the owner is to try again.
  if (!duplication_) return VELL_TRACE_FAILURE(DXGI_ERROR_ACCESS_LOST);
  RETURN_IF_FAILED(AcquireFrame());

  D3D11_TEXTURE2D_DESC source_desc{};
  acquired_texture_->GetDesc(&source_desc);
  const D3D11_BOX box = desktop_image_acquired_ ? copy_box_
                                                : D3D11_BOX{0, 0, 0, copy_box_.right - copy_box_.left,
                                                            copy_box_.bottom - copy_box_.top, 1};
  const D3D11_BOX clipped = ClipTo(box, source_desc);
  if (clipped.right > clipped.left && clipped.bottom > clipped.top) {
    frame_->GetContext()->CopySubresourceRegion(frame_->GetTexture(), 0, 0, 0, 0, acquired_texture_.Get(), 0,
                                                &clipped);
  }
  DrawCursor();
  return S_OK;
}

HRESULT DDASource::CaptureToSystemMemory(uint8_t**) { return E_NOTIMPL; }

// Drawn only when the cursor image's top-left corner lies inside the capture rectangle (edges included); one
// that hangs over the right or bottom edge is clipped by GDI.
HRESULT DDASource::DrawCursor() {
  const std::unique_ptr<SurfaceDC> dc = frame_->GetDC();
  if (dc->Get() == nullptr) return E_FAIL;
  CursorCopy icon;
  const HRESULT copied = icon.CopyCurrent();
  if (copied != S_OK) return copied == S_FALSE ? S_OK : copied;
  const int32_t hotspot_x = static_cast<int32_t>(icon.Info().xHotspot);
  const int32_t hotspot_y = static_cast<int32_t>(icon.Info().yHotspot);
  const CursorPlacement place =
      PlaceCursor(icon.Position().x, icon.Position().y, hotspot_x, hotspot_y,
                  ToDisplayRect(settings_.CaptureRect()));
  if (!place.draw) return S_OK;
  // The frame is unrotated: the hotspot goes where the processor's turn will put it back in place (the image
  // itself is drawn unturned).
  const DisplayPoint hotspot = ToUnrotatedPixel({place.x + hotspot_x, place.y + hotspot_y},
                                                ToDisplaySize(settings_.CaptureSize()), frame_->RotationDegrees());
  DrawIcon(dc->Get(), hotspot.x - hotspot_x, hotspot.y - hotspot_y, icon.Get());
  return S_OK;
}

}  // namespace VellRecorder
