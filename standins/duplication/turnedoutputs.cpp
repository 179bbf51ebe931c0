#include "turnedoutputs.h"

#include <libyuv.h>

#include <mutex>

#include "duplicationstandin.h"

namespace VellRecorder::StandIn {
namespace {

// 3 IUnknown + 4 IDXGIObject methods come before it.
constexpr size_t kGetDescSlot = 7;

using GetDescFn = HRESULT(STDMETHODCALLTYPE*)(IDXGIOutput*, DXGI_OUTPUT_DESC*);

// Guards every field: outputs are described on any thread while a test turns them.
struct State {
  std::mutex mutex;
  void** slot = nullptr;  // the vtable entry, while patched
  GetDescFn original = nullptr;
  DXGI_MODE_ROTATION rotation = DXGI_MODE_ROTATION_IDENTITY;
  RECT desktop{};  // empty: where the output is
};

State& S() {
  static State state;
  return state;
}

HRESULT STDMETHODCALLTYPE GetDesc(IDXGIOutput* self, DXGI_OUTPUT_DESC* desc) {
  GetDescFn original = nullptr;
  DXGI_MODE_ROTATION rotation = DXGI_MODE_ROTATION_IDENTITY;
  RECT desktop{};
  {
    std::lock_guard<std::mutex> lock(S().mutex);
    original = S().original;
    rotation = S().rotation;
    desktop = S().desktop;
  }
  if (original == nullptr) return E_FAIL;
  const HRESULT hr = original(self, desc);
  if (FAILED(hr) || desc == nullptr) return hr;
  // Wine reports its outputs unturned (DXGI_MODE_ROTATION_UNSPECIFIED or IDENTITY): only a turn asked for shows.
  if (rotation != DXGI_MODE_ROTATION_IDENTITY) desc->Rotation = rotation;
  if (desktop.right > desktop.left && desktop.bottom > desktop.top) desc->DesktopCoordinates = desktop;
  return hr;
}

}  // namespace

void TurnOutputs(DXGI_MODE_ROTATION rotation, RECT desktop) {
  std::lock_guard<std::mutex> lock(S().mutex);
  S().rotation = rotation;
  S().desktop = desktop;
}

namespace TurnedOutputs {

bool Patch(void** vtable) {
  std::lock_guard<std::mutex> lock(S().mutex);
  if (S().slot != nullptr) return true;
  void** slot = &vtable[kGetDescSlot];
  const GetDescFn original = reinterpret_cast<GetDescFn>(*slot);
  S().original = original;
  if (!WriteSlot(slot, reinterpret_cast<void*>(&GetDesc))) return false;
  S().slot = slot;
  return true;
}

void Unpatch() {
  std::lock_guard<std::mutex> lock(S().mutex);
  if (S().slot == nullptr) return;
  WriteSlot(S().slot, reinterpret_cast<void*>(S().original));
  S().slot = nullptr;
}

void ToUnrotated(const uint32_t* desktop, int width, int height, DXGI_MODE_ROTATION rotation,
                 std::vector<uint32_t>* image, int* image_width) {
  // The turn that undoes the output's.
  libyuv::RotationMode undo = libyuv::kRotate0;
  if (rotation == DXGI_MODE_ROTATION_ROTATE90) undo = libyuv::kRotate270;
  if (rotation == DXGI_MODE_ROTATION_ROTATE180) undo = libyuv::kRotate180;
  if (rotation == DXGI_MODE_ROTATION_ROTATE270) undo = libyuv::kRotate90;
  const bool sideways = undo == libyuv::kRotate90 || undo == libyuv::kRotate270;
  *image_width = sideways ? height : width;
  image->resize(static_cast<size_t>(width) * height);
  libyuv::ARGBRotate(reinterpret_cast<const uint8_t*>(desktop), width * 4, reinterpret_cast<uint8_t*>(image->data()),
                     *image_width * 4, width, height, undo);
}

}  // namespace TurnedOutputs
}  // namespace VellRecorder::StandIn
