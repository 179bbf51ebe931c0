#include "testing/fakeendpoints.h"

// The stand-ins' COM server (with Media Foundation's headers) before WASAPI's: mingw's strmif.h redefines what
// ksmedia.h (through audioclient.h) already declared, and refuses to build in the other order.
#include "comserver/comobject.h"
#include "comserver/comserver.h"

#include <audioclient.h>
#include <mmdeviceapi.h>
#include <propsys.h>

#include <gtest/gtest.h>
#include "utils/clock.h"
#include "utils/comptr.h"

namespace VellRecorder::Testing {
namespace {

constexpr UINT32 kRate = 48000;
constexpr UINT32 kBlock = 4;
constexpr UINT32 kPacketFrames = 480;

// Packets are stamped on the performance counter, as WASAPI's are.
int64_t Now100ns() { return MonotonicNowNs() / 100; }

// Counted references, deleted at the last Release: the stand-ins' IUnknown.
template <typename Interface>
using Object = VellStandin::ComObject<Interface>;

using Endpoint = std::shared_ptr<FakeEndpoint>;

HRESULT CopyText(const std::wstring& text, LPWSTR* out) {
  *out = static_cast<LPWSTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(wchar_t)));
  if (*out == nullptr) return E_OUTOFMEMORY;
  wcscpy(*out, text.c_str());
  return S_OK;
}

class CaptureClient : public Object<IAudioCaptureClient> {
 public:
  explicit CaptureClient(Endpoint endpoint) : endpoint_(std::move(endpoint)), started_(Now100ns()) {}
  HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32* frames) override {
    if (endpoint_->gone) return AUDCLNT_E_DEVICE_INVALIDATED;
    *frames = Ready() ? kPacketFrames : 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64* position,
                                      UINT64* qpc) override {
    if (endpoint_->gone) return AUDCLNT_E_DEVICE_INVALIDATED;
    *frames = Ready() && !endpoint_->empty_packets ? kPacketFrames : 0;
    *data = packet_.data();
    *flags = 0;
    if (position != nullptr) *position = delivered_;
    if (qpc != nullptr) *qpc = static_cast<UINT64>(started_ + static_cast<int64_t>(delivered_) * 10000000 / kRate);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames) override {
    delivered_ += frames;
    endpoint_->frames += frames;
    return S_OK;
  }

 private:
  bool Ready() const {
    return endpoint_->endless || endpoint_->empty_packets ||
           (Now100ns() - started_) * kRate / 10000000 >= static_cast<int64_t>(delivered_ + kPacketFrames);
  }
  Endpoint endpoint_;
  const int64_t started_;
  uint64_t delivered_ = 0;
  std::vector<BYTE> packet_ = std::vector<BYTE>(kPacketFrames * kBlock, 0x11);
};

class AudioClient : public Object<IAudioClient> {
 public:
  explicit AudioClient(Endpoint endpoint) : endpoint_(std::move(endpoint)) {}
  HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE, DWORD flags, REFERENCE_TIME duration, REFERENCE_TIME,
                                       const WAVEFORMATEX*, LPCGUID) override {
    if (endpoint_->gone) return AUDCLNT_E_DEVICE_INVALIDATED;
    if (((flags & AUDCLNT_STREAMFLAGS_LOOPBACK) != 0) != endpoint_->render) return AUDCLNT_E_WRONG_ENDPOINT_TYPE;
    buffer_frames_ = static_cast<UINT32>(duration * kRate / 10000000);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32* frames) override {
    *frames = buffer_frames_;
    return endpoint_->gone ? AUDCLNT_E_DEVICE_INVALIDATED : S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetMixFormat(WAVEFORMATEX** format) override {
    auto* mix = static_cast<WAVEFORMATEX*>(CoTaskMemAlloc(sizeof(WAVEFORMATEX)));
    *mix = {WAVE_FORMAT_PCM, 2, kRate, kRate * kBlock, kBlock, 16, 0};
    *format = mix;
    return endpoint_->gone ? AUDCLNT_E_DEVICE_INVALIDATED : S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetService(REFIID iid, void** out) override {
    if (endpoint_->gone) return AUDCLNT_E_DEVICE_INVALIDATED;
    if (iid != __uuidof(IAudioCaptureClient)) return E_NOINTERFACE;
    *out = static_cast<IAudioCaptureClient*>(new CaptureClient(endpoint_));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Start() override {
    ++endpoint_->streams;
    return endpoint_->gone ? AUDCLNT_E_DEVICE_INVALIDATED : S_OK;
  }
  HRESULT STDMETHODCALLTYPE Stop() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Reset() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetStreamLatency(REFERENCE_TIME*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetCurrentPadding(UINT32*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE IsFormatSupported(AUDCLNT_SHAREMODE, const WAVEFORMATEX*, WAVEFORMATEX**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetDevicePeriod(REFERENCE_TIME*, REFERENCE_TIME*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE) override { return E_NOTIMPL; }

 private:
  Endpoint endpoint_;
  UINT32 buffer_frames_ = 0;
};

class NameStore : public Object<IPropertyStore> {
 public:
  explicit NameStore(std::wstring name) : name_(std::move(name)) {}
  HRESULT STDMETHODCALLTYPE GetValue(REFPROPERTYKEY, PROPVARIANT* value) override {
    PropVariantInit(value);
    value->vt = VT_LPWSTR;
    return CopyText(name_, &value->pwszVal);
  }
  HRESULT STDMETHODCALLTYPE GetCount(DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetAt(DWORD, PROPERTYKEY*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetValue(REFPROPERTYKEY, REFPROPVARIANT) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Commit() override { return E_NOTIMPL; }

 private:
  const std::wstring name_;
};

class Device : public Object<IMMDevice> {
 public:
  explicit Device(Endpoint endpoint) : endpoint_(std::move(endpoint)) {}
  HRESULT STDMETHODCALLTYPE Activate(REFIID iid, DWORD, PROPVARIANT*, void** out) override {
    if (endpoint_->gone) return AUDCLNT_E_DEVICE_INVALIDATED;
    if (iid != __uuidof(IAudioClient)) return E_NOINTERFACE;
    *out = static_cast<IAudioClient*>(new AudioClient(endpoint_));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OpenPropertyStore(DWORD, IPropertyStore** store) override {
    if (endpoint_->unreadable) return E_FAIL;
    *store = new NameStore(endpoint_->name);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetId(LPWSTR* id) override { return CopyText(endpoint_->id, id); }
  HRESULT STDMETHODCALLTYPE GetState(DWORD* state) override {
    *state = endpoint_->gone ? DEVICE_STATE_UNPLUGGED : DEVICE_STATE_ACTIVE;
    return S_OK;
  }

 private:
  Endpoint endpoint_;
};

class Collection : public Object<IMMDeviceCollection> {
 public:
  explicit Collection(std::vector<Endpoint> endpoints) : endpoints_(std::move(endpoints)) {}
  HRESULT STDMETHODCALLTYPE GetCount(UINT* count) override {
    *count = static_cast<UINT>(endpoints_.size());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Item(UINT index, IMMDevice** device) override {
    if (index >= endpoints_.size()) return E_INVALIDARG;
    *device = new Device(endpoints_[index]);
    return S_OK;
  }

 private:
  const std::vector<Endpoint> endpoints_;
};

class Enumerator : public Object<IMMDeviceEnumerator> {
 public:
  explicit Enumerator(std::shared_ptr<FakeEndpoints::State> state) : state_(std::move(state)) {}
  HRESULT STDMETHODCALLTYPE EnumAudioEndpoints(EDataFlow flow, DWORD, IMMDeviceCollection** devices) override {
    std::vector<Endpoint> listed;
    const std::lock_guard<std::mutex> lock(state_->mutex);
    for (const Endpoint& e : state_->endpoints) {
      if (!e->gone && e->render == (flow == eRender)) listed.push_back(e);
    }
    *devices = new Collection(std::move(listed));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetDefaultAudioEndpoint(EDataFlow flow, ERole, IMMDevice** device) override {
    const std::lock_guard<std::mutex> lock(state_->mutex);
    for (const Endpoint& e : state_->endpoints) {
      if (!e->gone && e->render == (flow == eRender) && (flow != eRender || e->id == state_->default_render)) {
        *device = new Device(e);
        return S_OK;
      }
    }
    return E_NOTFOUND;
  }
  HRESULT STDMETHODCALLTYPE GetDevice(LPCWSTR, IMMDevice**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE RegisterEndpointNotificationCallback(IMMNotificationClient*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE UnregisterEndpointNotificationCallback(IMMNotificationClient*) override {
    return E_NOTIMPL;
  }

 private:
  std::shared_ptr<FakeEndpoints::State> state_;
};

}  // namespace

FakeEndpoints::FakeEndpoints() : state_(std::make_shared<State>()) {
  ComPtr<IUnknown> factory;
  auto state = state_;
  const HRESULT got = VellStandin::GetClassFactory(
      [state](REFIID iid, void** out) {
        ComPtr<IMMDeviceEnumerator> enumerator;
        enumerator.Attach(new Enumerator(state));
        return enumerator->QueryInterface(iid, out);
      },
      IID_IUnknown, reinterpret_cast<void**>(factory.ReleaseAndGetAddressOf()));
  EXPECT_EQ(got, S_OK);
  // The registration holds a reference of its own.
  EXPECT_EQ(CoRegisterClassObject(__uuidof(MMDeviceEnumerator), factory.Get(), CLSCTX_INPROC_SERVER,
                                  REGCLS_MULTIPLEUSE, &cookie_),
            S_OK);
}

FakeEndpoints::~FakeEndpoints() { CoRevokeClassObject(cookie_); }

std::shared_ptr<FakeEndpoint> FakeEndpoints::Add(const std::wstring& id, const std::wstring& name, bool render) {
  auto endpoint = std::make_shared<FakeEndpoint>();
  endpoint->id = id;
  endpoint->name = name;
  endpoint->render = render;
  const std::lock_guard<std::mutex> lock(state_->mutex);
  if (render && state_->default_render.empty()) state_->default_render = id;
  state_->endpoints.push_back(endpoint);
  return endpoint;
}

void FakeEndpoints::SetDefaultRender(const std::wstring& id) {
  const std::lock_guard<std::mutex> lock(state_->mutex);
  state_->default_render = id;
}

}  // namespace VellRecorder::Testing
