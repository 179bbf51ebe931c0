// Wine's output object shares one vtable between IDXGIOutput, IDXGIOutput1 and later versions and between all
// outputs of the process, so replacing one slot of it gives every output the stand-in's DuplicateOutput.
#include <windows.h>
#include <d3d11.h>
#include <dxgi1_2.h>

#include <mutex>

#include "duplicationstandin.h"
#include "faults.h"
#include "outputduplication.h"
#include "turnedoutputs.h"
#include "utils/comptr.h"

namespace VellRecorder::StandIn {
namespace {

// 3 IUnknown + 4 IDXGIObject + 12 IDXGIOutput + 3 IDXGIOutput1 methods come before it.
constexpr size_t kDuplicateOutputSlot = 22;

using DuplicateOutputFn = HRESULT(STDMETHODCALLTYPE*)(IDXGIOutput1*, IUnknown*, IDXGIOutputDuplication**);

std::mutex g_mutex;                    // guards the two below and the slot's writes
void** g_slot = nullptr;               // the vtable entry, once installed
DuplicateOutputFn g_original = nullptr;

HRESULT STDMETHODCALLTYPE DuplicateOutput(IDXGIOutput1* self, IUnknown* device, IDXGIOutputDuplication** out) {
  if (out == nullptr) return E_INVALIDARG;
  *out = nullptr;
  if (self == nullptr || device == nullptr) return E_INVALIDARG;
  const HRESULT refusal = Faults::TakeRefusal();
  if (refusal != S_OK) return refusal;
  ComPtr<ID3D11Device> d3d11;
  if (FAILED(device->QueryInterface(__uuidof(ID3D11Device),
                                    reinterpret_cast<void**>(d3d11.ReleaseAndGetAddressOf())))) {
    return E_INVALIDARG;
  }
  // DXGI's answer to a process that duplicates an output it is duplicating already, a lost duplication not
  // yet released included.
  DXGI_OUTPUT_DESC desc{};
  self->GetDesc(&desc);
  if (!Faults::ClaimOutput(desc.DeviceName)) return E_INVALIDARG;
  *out = new OutputDuplication(self, d3d11.Get(), Faults::Generation(), desc.DeviceName);
  return S_OK;
}

}  // namespace

bool WriteSlot(void** slot, void* value) {
  DWORD protection = 0;
  if (!VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &protection)) return false;
  *slot = value;
  VirtualProtect(slot, sizeof(void*), protection, &protection);
  return true;
}

HRESULT InstallDuplication() {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_slot != nullptr) return S_OK;
  ComPtr<IDXGIFactory1> factory;
  HRESULT hr = CreateDXGIFactory1(__uuidof(IDXGIFactory1), reinterpret_cast<void**>(factory.ReleaseAndGetAddressOf()));
  if (FAILED(hr)) return hr;
  ComPtr<IDXGIOutput1> output;
  for (UINT i = 0; !output; ++i) {
    ComPtr<IDXGIAdapter1> adapter;
    hr = factory->EnumAdapters1(i, adapter.ReleaseAndGetAddressOf());
    if (FAILED(hr)) return hr;
    ComPtr<IDXGIOutput> first;
    if (SUCCEEDED(adapter->EnumOutputs(0, first.ReleaseAndGetAddressOf()))) {
      hr = first.As(&output);
      if (FAILED(hr)) return hr;
    }
  }
  void** vtable = *reinterpret_cast<void***>(output.Get());
  void** slot = &vtable[kDuplicateOutputSlot];
  DuplicateOutputFn original = reinterpret_cast<DuplicateOutputFn>(*slot);
  if (!WriteSlot(slot, reinterpret_cast<void*>(&DuplicateOutput))) return HRESULT_FROM_WIN32(GetLastError());
  if (!TurnedOutputs::Patch(vtable)) {
    const HRESULT failed = HRESULT_FROM_WIN32(GetLastError());
    WriteSlot(slot, reinterpret_cast<void*>(original));
    return failed;
  }
  g_slot = slot;
  g_original = original;
  return S_OK;
}

void UninstallDuplication() {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_slot == nullptr) return;
  WriteSlot(g_slot, reinterpret_cast<void*>(g_original));
  TurnedOutputs::Unpatch();
  g_slot = nullptr;
}

}  // namespace VellRecorder::StandIn
