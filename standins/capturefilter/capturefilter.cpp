#include "capturefilter.h"

#include <uuids.h>

#include <cstring>
#include <cwchar>
#include <new>

#include "enumerators.h"

namespace VellStandin {

namespace {

constexpr wchar_t kPinName[] = L"Capture";

void CopyName(wchar_t* to, size_t capacity, const wchar_t* from) {
  std::wcsncpy(to, from ? from : L"", capacity - 1);
  to[capacity - 1] = L'\0';
}

}  // namespace

// --- OutputPin

HRESULT OutputPin::ConnectedTo(IPin** pin) {
  if (!pin) return E_POINTER;
  *pin = nullptr;
  return VFW_E_NOT_CONNECTED;
}

HRESULT OutputPin::QueryPinInfo(PIN_INFO* info) {
  if (!info) return E_POINTER;
  info->pFilter = filter_;
  filter_->AddRef();
  info->dir = PINDIR_OUTPUT;
  CopyName(info->achName, MAX_PIN_NAME, kPinName);
  return S_OK;
}

HRESULT OutputPin::QueryDirection(PIN_DIRECTION* direction) {
  if (!direction) return E_POINTER;
  *direction = PINDIR_OUTPUT;
  return S_OK;
}

HRESULT OutputPin::QueryId(LPWSTR* id) {
  if (!id) return E_POINTER;
  *id = static_cast<LPWSTR>(CoTaskMemAlloc(sizeof(kPinName)));
  if (!*id) return E_OUTOFMEMORY;
  std::memcpy(*id, kPinName, sizeof(kPinName));
  return S_OK;
}

int OutputPin::FindFormat(const AM_MEDIA_TYPE* type) const {
  if (!type || type->majortype != MEDIATYPE_Video || !type->pbFormat) return -1;
  for (size_t i = 0; i < profile_.formats.size(); ++i) {
    const CameraFormat& format = profile_.formats[i];
    if (type->subtype != *format.subtype || type->formattype != *format.formatType) continue;
    if (type->formattype == FORMAT_VideoInfo && type->cbFormat >= sizeof(VIDEOINFOHEADER)) {
      const auto* info = reinterpret_cast<const VIDEOINFOHEADER*>(type->pbFormat);
      if (info->bmiHeader.biWidth == format.width && info->bmiHeader.biHeight == format.height) {
        return static_cast<int>(i);
      }
    }
  }
  return -1;
}

HRESULT OutputPin::QueryAccept(const AM_MEDIA_TYPE* type) { return FindFormat(type) >= 0 ? S_OK : S_FALSE; }

HRESULT OutputPin::EnumMediaTypes(IEnumMediaTypes** types) {
  if (!types) return E_POINTER;
  const CameraProfile* profile = &profile_;
  *types = IndexEnumerator<IEnumMediaTypes, AM_MEDIA_TYPE*>::Create(
      static_cast<ULONG>(profile_.formats.size()),
      [profile](ULONG index) { return NewMediaType(profile->formats[index]); }, static_cast<IPin*>(this));
  return *types ? S_OK : E_OUTOFMEMORY;
}

HRESULT OutputPin::SetFormat(AM_MEDIA_TYPE* type) {
  const int index = FindFormat(type);
  if (index < 0) return VFW_E_INVALIDMEDIATYPE;
  current_ = index;
  return S_OK;
}

HRESULT OutputPin::GetFormat(AM_MEDIA_TYPE** type) {
  if (!type) return E_POINTER;
  *type = NewMediaType(profile_.formats[current_]);
  return *type ? S_OK : E_OUTOFMEMORY;
}

HRESULT OutputPin::GetNumberOfCapabilities(int* count, int* size) {
  if (!count || !size) return E_POINTER;
  *count = static_cast<int>(profile_.formats.size());
  *size = sizeof(VIDEO_STREAM_CONFIG_CAPS);
  return S_OK;
}

HRESULT OutputPin::GetStreamCaps(int index, AM_MEDIA_TYPE** type, BYTE* caps) {
  if (!type || !caps) return E_POINTER;
  if (index < 0 || index >= static_cast<int>(profile_.formats.size())) return S_FALSE;
  const CameraFormat& format = profile_.formats[index];
  *type = NewMediaType(format);
  if (!*type) return E_OUTOFMEMORY;
  // Each capability is one fixed size at one fixed rate.
  VIDEO_STREAM_CONFIG_CAPS config = {};
  config.guid = *format.formatType;
  config.VideoStandard = 0;
  config.InputSize = config.MinCroppingSize = config.MaxCroppingSize = {format.width, format.height};
  config.MinOutputSize = config.MaxOutputSize = {format.width, format.height};
  config.CropGranularityX = config.CropGranularityY = config.CropAlignX = config.CropAlignY = 1;
  config.OutputGranularityX = config.OutputGranularityY = 1;
  config.MinFrameInterval = config.MaxFrameInterval = format.avgTimePerFrame;
  const LONGLONG bits_per_frame = static_cast<LONGLONG>((*type)->lSampleSize) * 8;
  config.MinBitsPerSecond = config.MaxBitsPerSecond =
      static_cast<LONG>(bits_per_frame * 10'000'000 / format.avgTimePerFrame);
  std::memcpy(caps, &config, sizeof(config));
  return S_OK;
}

HRESULT OutputPin::Get(REFGUID set, DWORD id, LPVOID, DWORD, LPVOID data, DWORD data_size, DWORD* returned) {
  if (set != AMPROPSETID_Pin) return E_PROP_SET_UNSUPPORTED;
  if (id != AMPROPERTY_PIN_CATEGORY) return E_PROP_ID_UNSUPPORTED;
  if (returned) *returned = sizeof(GUID);
  if (!data) return returned ? S_OK : E_POINTER;
  if (data_size < sizeof(GUID)) return E_UNEXPECTED;
  *static_cast<GUID*>(data) = PIN_CATEGORY_CAPTURE;
  return S_OK;
}

HRESULT OutputPin::QuerySupported(REFGUID set, DWORD id, DWORD* support) {
  if (set != AMPROPSETID_Pin) return E_PROP_SET_UNSUPPORTED;
  if (id != AMPROPERTY_PIN_CATEGORY) return E_PROP_ID_UNSUPPORTED;
  if (support) *support = KSPROPERTY_SUPPORT_GET;
  return S_OK;
}

// --- CaptureFilter

HRESULT CaptureFilter::Create(const CameraProfile& profile, REFIID riid, void** object) {
  return HandOut(new (std::nothrow) CaptureFilter(profile), S_OK, riid, object);
}

void* CaptureFilter::Find(REFIID riid) {
  if (riid == IID_IPersist || riid == IID_IMediaFilter) return static_cast<IBaseFilter*>(this);
  return ComObject::Find(riid);
}

HRESULT CaptureFilter::GetClassID(CLSID* clsid) {
  if (!clsid) return E_POINTER;
  *clsid = *profile_.clsid;
  return S_OK;
}

HRESULT CaptureFilter::Stop() {
  state_ = State_Stopped;
  return S_OK;
}

HRESULT CaptureFilter::Pause() {
  state_ = State_Paused;
  return S_OK;
}

HRESULT CaptureFilter::Run(REFERENCE_TIME) {
  state_ = State_Running;
  return S_OK;
}

HRESULT CaptureFilter::GetState(DWORD, FILTER_STATE* state) {
  if (!state) return E_POINTER;
  *state = state_;
  return S_OK;
}

HRESULT CaptureFilter::GetSyncSource(IReferenceClock** clock) {
  if (!clock) return E_POINTER;
  *clock = nullptr;
  return S_OK;
}

HRESULT CaptureFilter::EnumPins(IEnumPins** pins) {
  if (!pins) return E_POINTER;
  OutputPin* pin = &pin_;
  *pins = IndexEnumerator<IEnumPins, IPin*>::Create(
      1,
      [pin](ULONG) {
        pin->AddRef();
        return static_cast<IPin*>(pin);
      },
      static_cast<IBaseFilter*>(this));
  return *pins ? S_OK : E_OUTOFMEMORY;
}

HRESULT CaptureFilter::FindPin(LPCWSTR id, IPin** pin) {
  if (!id || !pin) return E_POINTER;
  *pin = nullptr;
  if (std::wcscmp(id, kPinName) != 0) return VFW_E_NOT_FOUND;
  *pin = &pin_;
  pin_.AddRef();
  return S_OK;
}

HRESULT CaptureFilter::QueryFilterInfo(FILTER_INFO* info) {
  if (!info) return E_POINTER;
  CopyName(info->achName, MAX_FILTER_NAME, name_);
  info->pGraph = graph_;
  if (graph_) graph_->AddRef();
  return S_OK;
}

HRESULT CaptureFilter::JoinFilterGraph(IFilterGraph* graph, LPCWSTR name) {
  graph_ = graph;
  CopyName(name_, MAX_FILTER_NAME, graph ? name : L"");
  return S_OK;
}

}  // namespace VellStandin
