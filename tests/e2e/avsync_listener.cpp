#include "avsync_listener.h"

#include <mmdeviceapi.h>
// Defines the property key here: mingw's libraries do not.
#include <initguid.h>
#include <functiondiscoverykeys_devpkey.h>

#include <cstdlib>

namespace VellRecorder {
namespace {

constexpr DWORD kRate = 48000;
constexpr int kLoud = 8000;                   // the beep's samples reach 16,000
constexpr uint64_t kQuietBefore = kRate / 4;  // a beep starts after a quarter second below kLoud

ComPtr<IMMDevice> FindCaptureEndpoint(const std::wstring& name) {
  ComPtr<IMMDeviceEnumerator> enumerator;
  ComPtr<IMMDeviceCollection> devices;
  UINT count = 0;
  if (FAILED(CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL, __uuidof(IMMDeviceEnumerator),
                              reinterpret_cast<void**>(enumerator.ReleaseAndGetAddressOf()))) ||
      FAILED(enumerator->EnumAudioEndpoints(eCapture, DEVICE_STATE_ACTIVE, devices.ReleaseAndGetAddressOf())) ||
      FAILED(devices->GetCount(&count))) {
    return {};
  }
  for (UINT i = 0; i < count; ++i) {
    ComPtr<IMMDevice> device;
    ComPtr<IPropertyStore> properties;
    if (FAILED(devices->Item(i, device.ReleaseAndGetAddressOf())) ||
        FAILED(device->OpenPropertyStore(STGM_READ, properties.ReleaseAndGetAddressOf()))) {
      continue;
    }
    PROPVARIANT value;
    PropVariantInit(&value);
    const bool match = SUCCEEDED(properties->GetValue(PKEY_Device_FriendlyName, &value)) && value.vt == VT_LPWSTR &&
                       name == value.pwszVal;
    PropVariantClear(&value);
    if (match) {
      return device;
    }
  }
  return {};
}

}  // namespace

bool AvSyncListener::Open(const std::wstring& endpoint_name) {
  ComPtr<IMMDevice> device = FindCaptureEndpoint(endpoint_name);
  WAVEFORMATEX format{WAVE_FORMAT_PCM, 1, kRate, kRate * 2, 2, 16, 0};
  const DWORD flags = AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM | AUDCLNT_STREAMFLAGS_SRC_DEFAULT_QUALITY;
  // The daemon's buffer length: under Wine a packet's time is when the stream delivered it, and how late that is
  // depends on the stream; opened alike, both streams' times are late alike.
  constexpr REFERENCE_TIME kDaemonBuffer100ns = 500000;
  return device &&
         SUCCEEDED(device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr,
                                    reinterpret_cast<void**>(client_.ReleaseAndGetAddressOf()))) &&
         SUCCEEDED(client_->Initialize(AUDCLNT_SHAREMODE_SHARED, flags, kDaemonBuffer100ns, 0, &format, nullptr)) &&
         SUCCEEDED(client_->GetService(__uuidof(IAudioCaptureClient),
                                       reinterpret_cast<void**>(capture_.ReleaseAndGetAddressOf()))) &&
         SUCCEEDED(client_->Start());
}

std::vector<int64_t> AvSyncListener::Poll() {
  std::vector<int64_t> onsets;
  if (!capture_) {
    return onsets;
  }
  BYTE* data = nullptr;
  UINT32 frames = 0;
  DWORD flags = 0;
  UINT64 qpc = 0;
  while (capture_->GetBuffer(&data, &frames, &flags, nullptr, &qpc) == S_OK) {
    const auto* samples = reinterpret_cast<const int16_t*>(data);
    for (UINT32 i = 0; i < frames; ++i) {
      const bool loud = !(flags & AUDCLNT_BUFFERFLAGS_SILENT) && std::abs(samples[i]) > kLoud;
      if (!loud) {
        ++quiet_samples_;
      } else {
        if (quiet_samples_ >= kQuietBefore && qpc != 0) {
          onsets.push_back(static_cast<int64_t>(qpc) + static_cast<int64_t>(i) * 10000000 / kRate);
        }
        quiet_samples_ = 0;
      }
    }
    capture_->ReleaseBuffer(frames);
  }
  return onsets;
}

}  // namespace VellRecorder
