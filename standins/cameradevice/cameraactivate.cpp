// A camera's activation object: its attributes are kept in a Media Foundation attribute store, and activating it
// opens the clip camera, once, as a device source is created once until it is shut down.
#include <mfapi.h>
#include <mferror.h>

#include <mutex>
#include <new>

#include "camerasource/camerasource.h"
#include "cameraactivate.h"
#include "camerafaults.h"
#include "comserver/comobject.h"
#include "utils/comptr.h"

namespace VellRecorder::StandIn {
namespace {

class CameraActivate final : public VellStandin::ComObject<IMFActivate> {
 public:
  static HRESULT Create(const CameraDevice& device, const std::wstring& clip, IMFActivate** activate) {
    ComPtr<IMFAttributes> attributes;
    HRESULT hr = MFCreateAttributes(attributes.ReleaseAndGetAddressOf(), 3);
    if (SUCCEEDED(hr)) {
      hr = attributes->SetGUID(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE, MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_GUID);
    }
    if (SUCCEEDED(hr)) hr = attributes->SetString(MF_DEVSOURCE_ATTRIBUTE_FRIENDLY_NAME, device.friendly_name.c_str());
    if (SUCCEEDED(hr)) {
      hr = attributes->SetString(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_SYMBOLIC_LINK,
                                 device.symbolic_link.c_str());
    }
    if (FAILED(hr)) return hr;
    *activate = new (std::nothrow) CameraActivate(std::move(attributes), clip);
    return *activate ? S_OK : E_OUTOFMEMORY;
  }

  STDMETHODIMP ActivateObject(REFIID riid, void** object) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (CamerasGone()) return MF_E_VIDEO_RECORDING_DEVICE_INVALIDATED;
    if (!source_) {
      // A missing clip fails here, as a camera that cannot be opened does.
      const HRESULT hr = StandIns::OpenClipCamera(clip_, source_.ReleaseAndGetAddressOf());
      if (FAILED(hr)) return hr;
      WatchCameraSource(source_.Get());
    }
    return source_->QueryInterface(riid, object);
  }
  STDMETHODIMP ShutdownObject() override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (source_) source_->Shutdown();
    source_.Reset();
    return S_OK;
  }
  STDMETHODIMP DetachObject() override {
    std::lock_guard<std::mutex> lock(mutex_);
    source_.Reset();
    return S_OK;
  }

  // IMFAttributes: the store's.
  STDMETHODIMP GetItem(REFGUID key, PROPVARIANT* value) override { return store_->GetItem(key, value); }
  STDMETHODIMP GetItemType(REFGUID key, MF_ATTRIBUTE_TYPE* type) override { return store_->GetItemType(key, type); }
  STDMETHODIMP CompareItem(REFGUID key, REFPROPVARIANT value, BOOL* result) override {
    return store_->CompareItem(key, value, result);
  }
  STDMETHODIMP Compare(IMFAttributes* other, MF_ATTRIBUTES_MATCH_TYPE type, BOOL* result) override {
    return store_->Compare(other, type, result);
  }
  STDMETHODIMP GetUINT32(REFGUID key, UINT32* value) override { return store_->GetUINT32(key, value); }
  STDMETHODIMP GetUINT64(REFGUID key, UINT64* value) override { return store_->GetUINT64(key, value); }
  STDMETHODIMP GetDouble(REFGUID key, double* value) override { return store_->GetDouble(key, value); }
  STDMETHODIMP GetGUID(REFGUID key, GUID* value) override { return store_->GetGUID(key, value); }
  STDMETHODIMP GetStringLength(REFGUID key, UINT32* length) override { return store_->GetStringLength(key, length); }
  STDMETHODIMP GetString(REFGUID key, LPWSTR value, UINT32 size, UINT32* length) override {
    return store_->GetString(key, value, size, length);
  }
  STDMETHODIMP GetAllocatedString(REFGUID key, LPWSTR* value, UINT32* length) override {
    return store_->GetAllocatedString(key, value, length);
  }
  STDMETHODIMP GetBlobSize(REFGUID key, UINT32* size) override { return store_->GetBlobSize(key, size); }
  STDMETHODIMP GetBlob(REFGUID key, UINT8* buffer, UINT32 size, UINT32* written) override {
    return store_->GetBlob(key, buffer, size, written);
  }
  STDMETHODIMP GetAllocatedBlob(REFGUID key, UINT8** buffer, UINT32* size) override {
    return store_->GetAllocatedBlob(key, buffer, size);
  }
  STDMETHODIMP GetUnknown(REFGUID key, REFIID riid, LPVOID* object) override {
    return store_->GetUnknown(key, riid, object);
  }
  STDMETHODIMP SetItem(REFGUID key, REFPROPVARIANT value) override { return store_->SetItem(key, value); }
  STDMETHODIMP DeleteItem(REFGUID key) override { return store_->DeleteItem(key); }
  STDMETHODIMP DeleteAllItems() override { return store_->DeleteAllItems(); }
  STDMETHODIMP SetUINT32(REFGUID key, UINT32 value) override { return store_->SetUINT32(key, value); }
  STDMETHODIMP SetUINT64(REFGUID key, UINT64 value) override { return store_->SetUINT64(key, value); }
  STDMETHODIMP SetDouble(REFGUID key, double value) override { return store_->SetDouble(key, value); }
  STDMETHODIMP SetGUID(REFGUID key, REFGUID value) override { return store_->SetGUID(key, value); }
  STDMETHODIMP SetString(REFGUID key, LPCWSTR value) override { return store_->SetString(key, value); }
  STDMETHODIMP SetBlob(REFGUID key, const UINT8* buffer, UINT32 size) override {
    return store_->SetBlob(key, buffer, size);
  }
  STDMETHODIMP SetUnknown(REFGUID key, IUnknown* value) override { return store_->SetUnknown(key, value); }
  STDMETHODIMP LockStore() override { return store_->LockStore(); }
  STDMETHODIMP UnlockStore() override { return store_->UnlockStore(); }
  STDMETHODIMP GetCount(UINT32* count) override { return store_->GetCount(count); }
  STDMETHODIMP GetItemByIndex(UINT32 index, GUID* key, PROPVARIANT* value) override {
    return store_->GetItemByIndex(index, key, value);
  }
  STDMETHODIMP CopyAllItems(IMFAttributes* destination) override { return store_->CopyAllItems(destination); }

 private:
  CameraActivate(ComPtr<IMFAttributes> store, std::wstring clip) : store_(std::move(store)), clip_(std::move(clip)) {}
  void* Find(REFIID riid) override {
    return riid == IID_IMFAttributes ? static_cast<IMFAttributes*>(this) : ComObject::Find(riid);
  }

  const ComPtr<IMFAttributes> store_;
  const std::wstring clip_;
  std::mutex mutex_;
  ComPtr<IMFMediaSource> source_;
};

}  // namespace

HRESULT CreateCameraActivates(const std::vector<CameraDevice>& devices, const std::wstring& clip,
                              IMFActivate*** activates, UINT32* count) {
  *activates = nullptr;
  *count = 0;
  std::vector<ComPtr<IMFActivate>> made(devices.size());
  for (size_t i = 0; i < devices.size(); ++i) {
    const HRESULT hr = CameraActivate::Create(devices[i], clip, made[i].ReleaseAndGetAddressOf());
    if (FAILED(hr)) return hr;
  }
  if (made.empty()) return S_OK;
  auto* array = static_cast<IMFActivate**>(CoTaskMemAlloc(made.size() * sizeof(IMFActivate*)));
  if (!array) return E_OUTOFMEMORY;
  // The caller owns the array and its references from here, as MFEnumDeviceSources's caller does.
  for (size_t i = 0; i < made.size(); ++i) array[i] = made[i].Detach();
  *activates = array;
  *count = static_cast<UINT32>(made.size());
  return S_OK;
}

}  // namespace VellRecorder::StandIn
