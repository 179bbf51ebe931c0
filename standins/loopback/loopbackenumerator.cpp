#include "loopbackenumerator.h"

#include <new>
#include <vector>

#include "comserver/comobject.h"
#include "injection.h"
#include "utils/comptr.h"

namespace VellRecorder::StandIn {
namespace {

constexpr wchar_t kMonitorPrefix[] = L"Monitor of ";
// PKEY_Device_FriendlyName: mingw declares it without a library that defines it.
constexpr PROPERTYKEY kFriendlyNameKey = {
    {0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}}, 14};

std::wstring FriendlyName(IMMDevice* device) {
  ComPtr<IPropertyStore> properties;
  if (FAILED(device->OpenPropertyStore(STGM_READ, properties.ReleaseAndGetAddressOf()))) return {};
  PROPVARIANT value;
  PropVariantInit(&value);
  std::wstring name;
  if (SUCCEEDED(properties->GetValue(kFriendlyNameKey, &value)) && value.vt == VT_LPWSTR && value.pwszVal) {
    name = value.pwszVal;
  }
  PropVariantClear(&value);
  return name;
}

std::string Narrow(const std::wstring& text) {
  std::string narrow;
  for (wchar_t c : text) narrow += c < 128 ? static_cast<char>(c) : '?';
  return narrow;
}

class LoopbackEnumerator final : public VellStandin::ComObject<IMMDeviceEnumerator> {
 public:
  LoopbackEnumerator(ComPtr<IMMDeviceEnumerator> system, std::wstring monitor)
      : system_(std::move(system)), monitor_(std::move(monitor)) {}

  STDMETHODIMP EnumAudioEndpoints(EDataFlow flow, DWORD mask, IMMDeviceCollection** devices) override {
    return system_->EnumAudioEndpoints(flow, mask, devices);
  }
  STDMETHODIMP GetDefaultAudioEndpoint(EDataFlow flow, ERole role, IMMDevice** device) override {
    if (flow != eRender || !device) return system_->GetDefaultAudioEndpoint(flow, role, device);
    *device = nullptr;
    ComPtr<IMMDevice> output;
    const HRESULT hr = system_->GetDefaultAudioEndpoint(eRender, role, output.ReleaseAndGetAddressOf());
    if (FAILED(hr)) return hr;
    return FindMonitor(FriendlyName(output.Get()), device);
  }
  STDMETHODIMP GetDevice(LPCWSTR id, IMMDevice** device) override { return system_->GetDevice(id, device); }
  STDMETHODIMP RegisterEndpointNotificationCallback(IMMNotificationClient* client) override {
    return system_->RegisterEndpointNotificationCallback(client);
  }
  STDMETHODIMP UnregisterEndpointNotificationCallback(IMMNotificationClient* client) override {
    return system_->UnregisterEndpointNotificationCallback(client);
  }

 private:
  // The endpoint named by the setting; else the default output's own monitor; else (the output is Wine's
  // "PulseAudio", which follows the default sink) the only monitor. More than one is ambiguous and refused.
  HRESULT FindMonitor(const std::wstring& output_name, IMMDevice** device) {
    ComPtr<IMMDeviceCollection> inputs;
    HRESULT hr = system_->EnumAudioEndpoints(eCapture, DEVICE_STATE_ACTIVE, inputs.ReleaseAndGetAddressOf());
    UINT count = 0;
    if (SUCCEEDED(hr)) hr = inputs->GetCount(&count);
    if (FAILED(hr)) return hr;
    const std::wstring wanted = monitor_.empty() ? kMonitorPrefix + output_name : monitor_;
    std::vector<std::pair<std::wstring, ComPtr<IMMDevice>>> monitors;
    for (UINT i = 0; i < count; ++i) {
      ComPtr<IMMDevice> input;
      if (FAILED(inputs->Item(i, input.ReleaseAndGetAddressOf()))) continue;
      std::wstring name = FriendlyName(input.Get());
      if (name == wanted || (monitor_.empty() && name.rfind(kMonitorPrefix, 0) == 0)) {
        monitors.emplace_back(std::move(name), std::move(input));
      }
    }
    for (auto& [name, input] : monitors) {
      if (name != wanted && monitors.size() != 1) continue;
      Say("vell-loopback", "the default output \"" + Narrow(output_name) + "\" is heard through \"" + Narrow(name) +
                               "\"");
      *device = input.Detach();
      return S_OK;
    }
    Say("vell-loopback", "no single monitor of the default output \"" + Narrow(output_name) + "\" (" +
                             std::to_string(monitors.size()) + " monitors, wanted \"" + Narrow(wanted) + "\")");
    return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
  }

  const ComPtr<IMMDeviceEnumerator> system_;
  const std::wstring monitor_;
};

}  // namespace

HRESULT CreateLoopbackEnumerator(IMMDeviceEnumerator* system, std::wstring monitor, REFIID riid, void** object) {
  ComPtr<LoopbackEnumerator> enumerator;
  enumerator.Attach(new (std::nothrow) LoopbackEnumerator(ComPtr<IMMDeviceEnumerator>(system), std::move(monitor)));
  if (!enumerator) return E_OUTOFMEMORY;
  return enumerator->QueryInterface(riid, object);
}

}  // namespace VellRecorder::StandIn
