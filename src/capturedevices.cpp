#include "capturedevices.h"

#include <dshow.h>
#include <uuids.h>

#include <memory>
#include <vector>

#include "tracehr.h"
#include "utils/comptr.h"

namespace VellRecorder {

namespace {

// Owns what IEnumMediaTypes hands out: the format block, the extra interface and the structure itself.
struct MediaTypeDeleter {
  void operator()(AM_MEDIA_TYPE* type) const {
    if (!type) return;
    if (type->cbFormat != 0) CoTaskMemFree(type->pbFormat);
    if (type->pUnk) type->pUnk->Release();
    CoTaskMemFree(type);
  }
};
using MediaTypePtr = std::unique_ptr<AM_MEDIA_TYPE, MediaTypeDeleter>;

class ScopedVariant {
 public:
  ScopedVariant() { VariantInit(&value_); }
  ~ScopedVariant() { VariantClear(&value_); }
  ScopedVariant(const ScopedVariant&) = delete;
  ScopedVariant& operator=(const ScopedVariant&) = delete;
  VARIANT* Get() { return &value_; }

 private:
  VARIANT value_;
};

std::optional<std::wstring> ReadString(IPropertyBag* bag, const wchar_t* key) {
  ScopedVariant value;
  if (FAILED(bag->Read(key, value.Get(), nullptr)) || value.Get()->vt != VT_BSTR || !value.Get()->bstrVal) {
    return std::nullopt;
  }
  return std::wstring(value.Get()->bstrVal, SysStringLen(value.Get()->bstrVal));
}

// What the list, and so the host, calls a device.
std::optional<std::wstring> DisplayName(IPropertyBag* bag) {
  std::optional<std::wstring> name = ReadString(bag, L"Description");
  return name ? name : ReadString(bag, L"FriendlyName");
}

bool HasValue(IPropertyBag* bag, const wchar_t* key) {
  ScopedVariant value;
  return SUCCEEDED(bag->Read(key, value.Get(), nullptr));
}

void CollectPinFormats(IPin* pin, std::vector<VideoFormat>* formats) {
  ComPtr<IEnumMediaTypes> types;
  if (FAILED(pin->EnumMediaTypes(types.ReleaseAndGetAddressOf()))) return;
  AM_MEDIA_TYPE* raw = nullptr;
  while (types->Next(1, &raw, nullptr) == S_OK) {
    const MediaTypePtr type(raw);
    raw = nullptr;
    if (!type || type->formattype != FORMAT_VideoInfo || type->cbFormat < sizeof(VIDEOINFOHEADER) ||
        !type->pbFormat) {
      continue;
    }
    const auto* info = reinterpret_cast<const VIDEOINFOHEADER*>(type->pbFormat);
    formats->push_back({info->bmiHeader.biWidth, info->bmiHeader.biHeight, info->AvgTimePerFrame});
  }
}

// The formats of every pin, whatever its direction.
std::vector<VideoFormat> FilterFormats(IBaseFilter* filter) {
  std::vector<VideoFormat> formats;
  ComPtr<IEnumPins> pins;
  if (FAILED(filter->EnumPins(pins.ReleaseAndGetAddressOf()))) return formats;
  IPin* raw = nullptr;
  while (pins->Next(1, &raw, nullptr) == S_OK) {
    ComPtr<IPin> pin;
    pin.Attach(raw);
    raw = nullptr;
    if (pin) CollectPinFormats(pin.Get(), &formats);
  }
  return formats;
}

// Null in *enumerator (and S_OK) when the category lists nothing.
HRESULT EnumerateDevices(REFGUID category, IEnumMoniker** enumerator) {
  *enumerator = nullptr;
  // Failures are traced once, by the caller.
  ComPtr<ICreateDevEnum> device_enum;
  const HRESULT hr = CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                                      reinterpret_cast<void**>(device_enum.ReleaseAndGetAddressOf()));
  if (FAILED(hr)) return hr;
  // S_FALSE and no enumerator: the category is empty or absent.
  return device_enum->CreateClassEnumerator(category, enumerator, 0);
}

}  // namespace

std::optional<std::wstring> CameraDevicePath(const std::wstring& name) {
  ComPtr<IEnumMoniker> enumerator;
  if (FAILED(EnumerateDevices(CLSID_VideoInputDeviceCategory, enumerator.ReleaseAndGetAddressOf())) || !enumerator) {
    return std::nullopt;
  }
  for (ComPtr<IMoniker> moniker; enumerator->Next(1, moniker.ReleaseAndGetAddressOf(), nullptr) == S_OK;) {
    ComPtr<IPropertyBag> bag;
    if (moniker && SUCCEEDED(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag,
                                                    reinterpret_cast<void**>(bag.ReleaseAndGetAddressOf()))) &&
        DisplayName(bag.Get()) == name) {
      if (std::optional<std::wstring> path = ReadString(bag.Get(), L"DevicePath")) return path;
    }
  }
  return std::nullopt;
}

HRESULT CaptureDevices::LoadDevices() {
  for (const GUID& category : categories_) {
    ComPtr<IEnumMoniker> enumerator;
    RETURN_IF_FAILED(EnumerateDevices(category, enumerator.ReleaseAndGetAddressOf()));
    // A machine without cameras still has its audio inputs listed.
    if (!enumerator) continue;
    RETURN_IF_FAILED(DisplayDeviceInformation(enumerator.Get()));
  }
  return S_OK;
}

HRESULT CaptureDevices::DisplayDeviceInformation(IEnumMoniker* enumerator) {
  ComPtr<IBindCtx> bind_context;
  RETURN_IF_FAILED(CreateBindCtx(0, bind_context.ReleaseAndGetAddressOf()));
  IMoniker* raw = nullptr;
  while (enumerator->Next(1, &raw, nullptr) == S_OK) {
    ComPtr<IMoniker> moniker;
    moniker.Attach(raw);
    raw = nullptr;
    if (moniker) AddDevice(moniker.Get(), bind_context.Get());
  }
  return S_OK;
}

// Devices whose property bag or name cannot be read are left out.
void CaptureDevices::AddDevice(IMoniker* moniker, IBindCtx* bind_context) {
  ComPtr<IPropertyBag> bag;
  if (FAILED(moniker->BindToStorage(bind_context, nullptr, IID_IPropertyBag,
                                    reinterpret_cast<void**>(bag.ReleaseAndGetAddressOf())))) {
    return;
  }
  const std::optional<std::wstring> name = DisplayName(bag.Get());
  if (!name) return;
  if (HasValue(bag.Get(), L"WaveInID")) list_.Add({*name, kAudioCaptureDevice, {}});
  if (!HasValue(bag.Get(), L"DevicePath")) return;
  ComPtr<IBaseFilter> filter;
  std::vector<VideoFormat> formats;
  if (SUCCEEDED(moniker->BindToObject(bind_context, nullptr, IID_IBaseFilter,
                                      reinterpret_cast<void**>(filter.ReleaseAndGetAddressOf())))) {
    formats = FilterFormats(filter.Get());
  }
  // A camera whose filter cannot be created is listed all the same, without a size.
  list_.Add(MakeCamera(*name, LargestResolution(formats)));
}

}  // namespace VellRecorder
