#include "outputduplication.h"

#include <utility>

#include "faults.h"
#include "pointershape.h"
#include "turnedoutputs.h"

#include "d3d/bgratexture.h"
#include "media_sources/video/topdownbitmap.h"

namespace VellRecorder::StandIn {
namespace {

// {6C0B4B5E-2C3A-4E0F-9C1E-5A7D2B8F4A11}: the private-data slot that ties a tracker to a desktop texture.
constexpr GUID kTextureTracker = {0x6c0b4b5e, 0x2c3a, 0x4e0f, {0x9c, 0x1e, 0x5a, 0x7d, 0x2b, 0x8f, 0x4a, 0x11}};

// Held by a texture as private data: Direct3D releases it when the texture is destroyed, which is how the
// stand-in counts textures still alive (a reference kept too long shows up as a texture that stays).
class TextureTracker final : public VellStandin::ComObject<IUnknown> {
 public:
  TextureTracker() { Faults::TextureCreated(); }

 private:
  ~TextureTracker() override { Faults::TextureDestroyed(); }
};

LARGE_INTEGER Now() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now;
}

}  // namespace

OutputDuplication::OutputDuplication(IDXGIOutput* output, ID3D11Device* device, uint64_t generation,
                                     std::wstring device_name)
    : output_(output), device_(device), generation_(generation), device_name_(std::move(device_name)) {
  Faults::DuplicationCreated();
  device_->GetImmediateContext(context_.ReleaseAndGetAddressOf());
  DXGI_OUTPUT_DESC desc{};
  if (SUCCEEDED(output_->GetDesc(&desc))) {
    desktop_ = desc.DesktopCoordinates;
    rotation_ = desc.Rotation;
  }
}

OutputDuplication::~OutputDuplication() {
  if (replaced_ != nullptr) SelectObject(memory_dc_, replaced_);
  if (bitmap_ != nullptr) DeleteObject(bitmap_);
  if (memory_dc_ != nullptr) DeleteDC(memory_dc_);
  Faults::ReleaseOutput(device_name_);
  Faults::DuplicationDestroyed();
}

void* OutputDuplication::Find(REFIID riid) {
  if (riid == __uuidof(IDXGIObject)) return static_cast<IDXGIOutputDuplication*>(this);
  return ComObject::Find(riid);
}

HRESULT OutputDuplication::GetParent(REFIID riid, void** parent) { return output_->QueryInterface(riid, parent); }

void OutputDuplication::GetDesc(DXGI_OUTDUPL_DESC* desc) {
  if (desc == nullptr) return;
  *desc = {};
  desc->ModeDesc.Width = static_cast<UINT>(ImageSize().cx);
  desc->ModeDesc.Height = static_cast<UINT>(ImageSize().cy);
  desc->ModeDesc.RefreshRate = {60, 1};
  desc->ModeDesc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
  desc->Rotation = rotation_;
  desc->DesktopImageInSystemMemory = FALSE;
}

bool OutputDuplication::IsLost() const { return generation_ != Faults::Generation(); }

HRESULT OutputDuplication::AcquireNextFrame(UINT timeout_ms, DXGI_OUTDUPL_FRAME_INFO* info,
                                            IDXGIResource** resource) {
  if (info == nullptr || resource == nullptr) return E_INVALIDARG;
  *resource = nullptr;
  *info = {};
  Faults::BeforeAcquisition();
  if (IsLost()) return DXGI_ERROR_ACCESS_LOST;
  if (frame_held_) return DXGI_ERROR_INVALID_CALL;
  if (Faults::TakeTimeout()) {
    if (timeout_ms > 0) Sleep(timeout_ms < 100 ? timeout_ms : 100);
    return DXGI_ERROR_WAIT_TIMEOUT;
  }
  if (const int delay_ms = Faults::AcquisitionDelayMs(); delay_ms > 0) Sleep(static_cast<DWORD>(delay_ms));
  if (!texture_) {
    const HRESULT created = CreateDesktopTexture();
    if (FAILED(created)) return created;
  }
  const HRESULT copied = CopyDesktop();
  if (FAILED(copied)) return copied;
  info->LastPresentTime = Now();
  info->AccumulatedFrames = 1;
  info->TotalMetadataBufferSize = sizeof(RECT);
  ReportPointer(info);
  frame_held_ = true;
  Faults::ImageDelivered();
  return texture_->QueryInterface(__uuidof(IDXGIResource), reinterpret_cast<void**>(resource));
}

bool OutputDuplication::IsTurned() const {
  return rotation_ == DXGI_MODE_ROTATION_ROTATE90 || rotation_ == DXGI_MODE_ROTATION_ROTATE180 ||
         rotation_ == DXGI_MODE_ROTATION_ROTATE270;
}

SIZE OutputDuplication::ImageSize() const {
  const LONG width = desktop_.right - desktop_.left;
  const LONG height = desktop_.bottom - desktop_.top;
  const bool sideways = rotation_ == DXGI_MODE_ROTATION_ROTATE90 || rotation_ == DXGI_MODE_ROTATION_ROTATE270;
  return sideways ? SIZE{height, width} : SIZE{width, height};
}

HRESULT OutputDuplication::CreateDesktopTexture() {
  const LONG width = desktop_.right - desktop_.left;
  const LONG height = desktop_.bottom - desktop_.top;
  if (width <= 0 || height <= 0) return DXGI_ERROR_NOT_CURRENTLY_AVAILABLE;
  const BITMAPINFO info = TopDownBgraBitmap(width, height);
  HDC screen = GetDC(nullptr);
  memory_dc_ = CreateCompatibleDC(screen);
  ReleaseDC(nullptr, screen);
  bitmap_ = CreateDIBSection(memory_dc_, &info, DIB_RGB_COLORS, &bits_, nullptr, 0);
  if (memory_dc_ == nullptr || bitmap_ == nullptr) return E_OUTOFMEMORY;
  replaced_ = SelectObject(memory_dc_, bitmap_);

  const D3D11_TEXTURE2D_DESC desc =
      BgraTextureDesc(static_cast<UINT>(ImageSize().cx), static_cast<UINT>(ImageSize().cy));
  const HRESULT hr = device_->CreateTexture2D(&desc, nullptr, texture_.ReleaseAndGetAddressOf());
  if (FAILED(hr)) return hr;
  ComPtr<IUnknown> tracker;
  tracker.Attach(new TextureTracker());
  texture_->SetPrivateDataInterface(kTextureTracker, tracker.Get());
  return S_OK;
}

HRESULT OutputDuplication::CopyDesktop() {
  const LONG width = desktop_.right - desktop_.left;
  const LONG height = desktop_.bottom - desktop_.top;
  HDC screen = GetDC(nullptr);
  const BOOL copied = BitBlt(memory_dc_, 0, 0, width, height, screen, desktop_.left, desktop_.top, SRCCOPY);
  ReleaseDC(nullptr, screen);
  if (!copied) return DXGI_ERROR_ACCESS_LOST;
  GdiFlush();
  // GDI leaves the alpha byte 0; the desktop image is opaque.
  uint32_t* pixel = static_cast<uint32_t*>(bits_);
  for (size_t i = 0, n = static_cast<size_t>(width) * height; i < n; ++i) pixel[i] |= 0xFF000000u;
  if (!IsTurned()) {
    context_->UpdateSubresource(texture_.Get(), 0, nullptr, bits_, static_cast<UINT>(width) * 4, 0);
    return S_OK;
  }
  int image_width = 0;
  TurnedOutputs::ToUnrotated(pixel, width, height, rotation_, &unrotated_, &image_width);
  context_->UpdateSubresource(texture_.Get(), 0, nullptr, unrotated_.data(), static_cast<UINT>(image_width) * 4, 0);
  return S_OK;
}

// Position relative to the output; an update time and a shape size only when they changed since the last frame.
void OutputDuplication::ReportPointer(DXGI_OUTDUPL_FRAME_INFO* info) {
  CURSORINFO cursor{};
  cursor.cbSize = sizeof(cursor);
  if (!GetCursorInfo(&cursor)) return;
  const POINT position{cursor.ptScreenPos.x - desktop_.left, cursor.ptScreenPos.y - desktop_.top};
  const bool visible = (cursor.flags & CURSOR_SHOWING) != 0;
  info->PointerPosition.Position = position;
  info->PointerPosition.Visible = visible;
  if (!pointer_reported_ || position.x != pointer_position_.x || position.y != pointer_position_.y ||
      visible != pointer_visible_) {
    info->LastMouseUpdateTime = info->LastPresentTime;
  }
  if (!pointer_reported_ || cursor.hCursor != pointer_cursor_) {
    std::vector<uint8_t> shape;
    DXGI_OUTDUPL_POINTER_SHAPE_INFO shape_info{};
    if (ReadPointerShape(cursor.hCursor, &shape, &shape_info)) {
      info->PointerShapeBufferSize = static_cast<UINT>(shape.size());
    }
  }
  pointer_reported_ = true;
  pointer_position_ = position;
  pointer_visible_ = visible;
  pointer_cursor_ = cursor.hCursor;
}

HRESULT OutputDuplication::GetFrameDirtyRects(UINT size, RECT* rects, UINT* required) {
  if (required == nullptr) return E_INVALIDARG;
  if (IsLost()) return DXGI_ERROR_ACCESS_LOST;
  if (!frame_held_) return DXGI_ERROR_INVALID_CALL;
  *required = sizeof(RECT);
  if (size < sizeof(RECT) || rects == nullptr) return DXGI_ERROR_MORE_DATA;
  // Every image is a fresh copy of the whole desktop.
  rects[0] = RECT{0, 0, ImageSize().cx, ImageSize().cy};
  return S_OK;
}

HRESULT OutputDuplication::GetFrameMoveRects(UINT, DXGI_OUTDUPL_MOVE_RECT*, UINT* required) {
  if (required == nullptr) return E_INVALIDARG;
  if (IsLost()) return DXGI_ERROR_ACCESS_LOST;
  if (!frame_held_) return DXGI_ERROR_INVALID_CALL;
  *required = 0;
  return S_OK;
}

HRESULT OutputDuplication::GetFramePointerShape(UINT size, void* buffer, UINT* required,
                                                DXGI_OUTDUPL_POINTER_SHAPE_INFO* info) {
  if (required == nullptr || info == nullptr) return E_INVALIDARG;
  if (IsLost()) return DXGI_ERROR_ACCESS_LOST;
  if (!frame_held_) return DXGI_ERROR_INVALID_CALL;
  std::vector<uint8_t> shape;
  if (!ReadPointerShape(pointer_cursor_, &shape, info)) return E_FAIL;
  *required = static_cast<UINT>(shape.size());
  if (size < shape.size() || buffer == nullptr) return DXGI_ERROR_MORE_DATA;
  memcpy(buffer, shape.data(), shape.size());
  return S_OK;
}

HRESULT OutputDuplication::ReleaseFrame() {
  if (IsLost()) return DXGI_ERROR_ACCESS_LOST;
  if (!frame_held_) return DXGI_ERROR_INVALID_CALL;
  frame_held_ = false;
  return S_OK;
}

}  // namespace VellRecorder::StandIn
