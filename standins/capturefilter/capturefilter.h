// A stand-in camera for test prefixes: a DirectShow capture filter with one output pin that describes its
// formats (IAMStreamConfig, EnumMediaTypes) and its pin category (IKsPropertySet), as the device enumeration
// reads them. It delivers no frames: nothing that uses it streams from it.
#pragma once

#include <windows.h>
#include <dshow.h>

#include <vector>

#include "comserver/comobject.h"

namespace VellStandin {

struct CameraFormat {
  const GUID* subtype;     // MEDIASUBTYPE_YUY2 or MEDIASUBTYPE_MJPG
  const GUID* formatType;  // FORMAT_VideoInfo, or FORMAT_VideoInfo2 for a format callers must skip
  LONG width;
  LONG height;
  REFERENCE_TIME avgTimePerFrame;  // 100-ns units
};

struct CameraProfile {
  const CLSID* clsid;
  const wchar_t* friendlyName;
  const wchar_t* instanceKey;
  const wchar_t* devicePath;
  std::vector<CameraFormat> formats;
  const wchar_t* description = nullptr;  // a "Description" beside the FriendlyName, as some cameras have
};

const std::vector<CameraProfile>& CameraProfiles();

// A new media type for the format (CoTaskMemAlloc'ed, format block included), or null when out of memory.
AM_MEDIA_TYPE* NewMediaType(const CameraFormat& format);
void DeleteMediaType(AM_MEDIA_TYPE* type);

// The filter's one output pin. Lives inside the filter and shares its reference count.
class OutputPin : public ComPart<IPin, IAMStreamConfig, IKsPropertySet> {
 public:
  OutputPin(IBaseFilter* filter, const CameraProfile& profile) : ComPart(filter), filter_(filter), profile_(profile) {}

  // IPin: describes itself; connections are refused.
  HRESULT STDMETHODCALLTYPE Connect(IPin*, const AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE ReceiveConnection(IPin*, const AM_MEDIA_TYPE*) override { return E_UNEXPECTED; }
  HRESULT STDMETHODCALLTYPE Disconnect() override { return S_FALSE; }
  HRESULT STDMETHODCALLTYPE ConnectedTo(IPin** pin) override;
  HRESULT STDMETHODCALLTYPE ConnectionMediaType(AM_MEDIA_TYPE*) override { return VFW_E_NOT_CONNECTED; }
  HRESULT STDMETHODCALLTYPE QueryPinInfo(PIN_INFO* info) override;
  HRESULT STDMETHODCALLTYPE QueryDirection(PIN_DIRECTION* direction) override;
  HRESULT STDMETHODCALLTYPE QueryId(LPWSTR* id) override;
  HRESULT STDMETHODCALLTYPE QueryAccept(const AM_MEDIA_TYPE* type) override;
  HRESULT STDMETHODCALLTYPE EnumMediaTypes(IEnumMediaTypes** types) override;
  HRESULT STDMETHODCALLTYPE QueryInternalConnections(IPin**, ULONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE EndOfStream() override { return E_UNEXPECTED; }
  HRESULT STDMETHODCALLTYPE BeginFlush() override { return E_UNEXPECTED; }
  HRESULT STDMETHODCALLTYPE EndFlush() override { return E_UNEXPECTED; }
  HRESULT STDMETHODCALLTYPE NewSegment(REFERENCE_TIME, REFERENCE_TIME, double) override { return S_OK; }

  // IAMStreamConfig
  HRESULT STDMETHODCALLTYPE SetFormat(AM_MEDIA_TYPE* type) override;
  HRESULT STDMETHODCALLTYPE GetFormat(AM_MEDIA_TYPE** type) override;
  HRESULT STDMETHODCALLTYPE GetNumberOfCapabilities(int* count, int* size) override;
  HRESULT STDMETHODCALLTYPE GetStreamCaps(int index, AM_MEDIA_TYPE** type, BYTE* caps) override;

  // IKsPropertySet: the pin category, read only.
  HRESULT STDMETHODCALLTYPE Set(REFGUID, DWORD, LPVOID, DWORD, LPVOID, DWORD) override { return E_PROP_ID_UNSUPPORTED; }
  HRESULT STDMETHODCALLTYPE Get(REFGUID set, DWORD id, LPVOID instance, DWORD instance_size, LPVOID data,
                                DWORD data_size, DWORD* returned) override;
  HRESULT STDMETHODCALLTYPE QuerySupported(REFGUID set, DWORD id, DWORD* support) override;

 private:
  int FindFormat(const AM_MEDIA_TYPE* type) const;

  IBaseFilter* const filter_;  // the owner (see ComPart)
  const CameraProfile& profile_;
  int current_ = 0;  // index of the format SetFormat chose; callers use the filter from one thread
};

class CaptureFilter : public ComObject<IBaseFilter> {
 public:
  static HRESULT Create(const CameraProfile& profile, REFIID riid, void** object);

  HRESULT STDMETHODCALLTYPE GetClassID(CLSID* clsid) override;
  HRESULT STDMETHODCALLTYPE Stop() override;
  HRESULT STDMETHODCALLTYPE Pause() override;
  HRESULT STDMETHODCALLTYPE Run(REFERENCE_TIME) override;
  HRESULT STDMETHODCALLTYPE GetState(DWORD, FILTER_STATE* state) override;
  HRESULT STDMETHODCALLTYPE SetSyncSource(IReferenceClock*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetSyncSource(IReferenceClock** clock) override;
  HRESULT STDMETHODCALLTYPE EnumPins(IEnumPins** pins) override;
  HRESULT STDMETHODCALLTYPE FindPin(LPCWSTR id, IPin** pin) override;
  HRESULT STDMETHODCALLTYPE QueryFilterInfo(FILTER_INFO* info) override;
  HRESULT STDMETHODCALLTYPE JoinFilterGraph(IFilterGraph* graph, LPCWSTR name) override;
  HRESULT STDMETHODCALLTYPE QueryVendorInfo(LPWSTR*) override { return E_NOTIMPL; }

  OutputPin* Pin() { return &pin_; }

 private:
  explicit CaptureFilter(const CameraProfile& profile) : profile_(profile), pin_(this, profile) {}
  ~CaptureFilter() override = default;

  // IBaseFilter's ancestors (IMediaFilter, IPersist) answer too.
  void* Find(REFIID riid) override;

  const CameraProfile& profile_;
  OutputPin pin_;
  FILTER_STATE state_ = State_Stopped;
  IFilterGraph* graph_ = nullptr;  // not counted: the graph owns the filter, as DirectShow filters do
  wchar_t name_[MAX_FILTER_NAME] = {};
};

}  // namespace VellStandin
