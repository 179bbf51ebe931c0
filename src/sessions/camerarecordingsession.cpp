// The camera session's lifecycle and event thread; the topology is built in cameratopology.cpp.
#include "sessions/camerarecordingsession.h"

#include <mfapi.h>
#include <mferror.h>

#include "capturedevices.h"
#include "media_transforms/media_foundation/h264encoder.h"
#include "sessions/samplegrabber.h"
#include "tracehr.h"
#include "utils/clock.h"
#include "utils/log.h"
#include "utils/scopedactivationobject.h"

namespace VellRecorder {

namespace {

std::wstring ReadString(IMFActivate* device, REFGUID key) {
  wchar_t* text = nullptr;
  UINT32 length = 0;
  if (FAILED(device->GetAllocatedString(key, &text, &length))) return {};
  std::wstring value(text, length);
  CoTaskMemFree(text);
  return value;
}

// `path`: the device path DirectShow lists under the name, if any.
bool IsNamedCamera(IMFActivate* device, const std::wstring& name, const std::optional<std::wstring>& path) {
  if (ReadString(device, MF_DEVSOURCE_ATTRIBUTE_FRIENDLY_NAME) == name) return true;
  if (!path || path->empty()) return false;
  // Device paths are compared without case, as Windows compares them.
  const std::wstring link = ReadString(device, MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_SYMBOLIC_LINK);
  return _wcsicmp(link.c_str(), path->c_str()) == 0;
}

}  // namespace

HRESULT OpenCameraByName(const std::wstring& camera_name, IMFMediaSource** source) {
  ComPtr<IMFAttributes> attributes;
  RETURN_IF_FAILED(MFCreateAttributes(attributes.ReleaseAndGetAddressOf(), 0));
  RETURN_IF_FAILED(
      attributes->SetGUID(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE, MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_GUID));
  RETURN_IF_FAILED(attributes->SetString(MF_DEVSOURCE_ATTRIBUTE_FRIENDLY_NAME, camera_name.c_str()));
  ScopedActivationObject devices;
  RETURN_IF_FAILED(devices.EnumDeviceSources(attributes.Get()));
  // The host names a camera as the capture-device list does, by its description when it has one, which Media
  // Foundation does not know: such a camera is the device at the path listed under that name.
  const std::optional<std::wstring> path = CameraDevicePath(camera_name);
  // The enumeration does not filter by name: with several cameras attached, the named one is activated.
  for (UINT32 i = 0; i < devices.Count(); ++i) {
    if (!IsNamedCamera(devices[i], camera_name, path)) continue;
    RETURN_IF_FAILED(devices[i]->ActivateObject(IID_IMFMediaSource, reinterpret_cast<void**>(source)));
    return S_OK;
  }
  LOG_ERROR << "no cameras named " << camera_name << " were found";
  return E_FAIL;
}

CameraRecordingSession::CameraRecordingSession(std::wstring camera_name, uint32_t max_width, uint32_t height,
                                               HLSSink* sink, CameraSourceOpener opener)
    : camera_name_(std::move(camera_name)),
      width_(max_width),
      height_(height),
      sink_(sink),
      opener_(std::move(opener)),
      event_thread_ended_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

CameraRecordingSession::~CameraRecordingSession() {
  Stop();
  ShutDownMedia();
}

HRESULT CameraRecordingSession::Initialize() {
  if (initialized_ || stopped_) return E_UNEXPECTED;
  if (!event_thread_ended_.Get()) return VELL_TRACE_FAILURE(HRESULT_FROM_WIN32(GetLastError()));
  RETURN_IF_FAILED(opener_(camera_name_, source_.ReleaseAndGetAddressOf()));
  RETURN_IF_FAILED(InitializeTopology());
  RETURN_IF_FAILED(MFCreateMediaSession(nullptr, session_.ReleaseAndGetAddressOf()));
  RETURN_IF_FAILED(session_->SetTopology(0, topology_.Get()));
  initialized_ = true;
  return S_OK;
}

void CameraRecordingSession::Start(int64_t start_time_ns) {
  if (!initialized_ || started_ || stopped_) return;
  started_ = true;
  start_time_ns_ = start_time_ns;
  event_thread_ = std::thread([this] { EventLoop(); });
}

void CameraRecordingSession::Pause() {
  if (!started_ || stopped_) return;
  paused_ = true;
  grabber_->Pause();
}

void CameraRecordingSession::Resume() {
  if (!started_ || stopped_ || !paused_) return;
  grabber_->Resume();
  // The frames of the pause were dropped: the next one written must not reference them.
  RequestKeyframe();
  LOG_WARNING << "resumed encoding...";
  paused_ = false;
}

void CameraRecordingSession::RequestKeyframe() {
  // Without it the sink waits for the encoder's next regular keyframe.
  const HRESULT hr = MediaFoundation::RequestKeyframe(encoder_.Get());
  if (FAILED(hr) && hr != E_NOINTERFACE) LOG_DEBUG << "no keyframe on request: " << HrText(hr);
}

void CameraRecordingSession::Stop() {
  if (!initialized_ || stopped_) return;
  stopped_ = true;
  grabber_->Stop();
  if (event_thread_.joinable()) {
    // Each failure is recorded; the session is shut down regardless, which also ends the event thread.
    HRESULT hr = session_->Stop();
    if (FAILED(hr)) VELL_TRACE_FAILURE(hr);
    hr = session_->Close();
    if (FAILED(hr)) VELL_TRACE_FAILURE(hr);
    if (SUCCEEDED(hr) && WaitForSingleObject(event_thread_ended_.Get(), kCloseTimeoutMs) != WAIT_OBJECT_0) {
      LOG_ERROR << "the camera's media session did not close within " << kCloseTimeoutMs << " ms";
    }
    // Ends a GetEvent that still waits.
    ShutDownMedia();
    event_thread_.join();
  }
  ShutDownMedia();
}

void CameraRecordingSession::ShutDownMedia() {
  if (media_shut_down_) return;
  media_shut_down_ = true;
  if (session_) session_->Shutdown();
  // The media session leaves the source to its owner.
  if (source_) source_->Shutdown();
}

void CameraRecordingSession::EventLoop() {
  PROPVARIANT start_position;
  PropVariantInit(&start_position);  // VT_EMPTY: from the current position
  HRESULT hr = session_->Start(&GUID_NULL, &start_position);
  if (FAILED(hr)) {
    VELL_TRACE_FAILURE(hr);
    LOG_ERROR << "Failed to start the camera's media session: " << HrText(hr);
  }
  for (bool closed = FAILED(hr); !closed;) {
    ComPtr<IMFMediaEvent> event;
    hr = session_->GetEvent(0, event.ReleaseAndGetAddressOf());
    if (FAILED(hr)) {
      // MF_E_SHUTDOWN: Stop shut the session down.
      if (hr != MF_E_SHUTDOWN) LOG_ERROR << "no more media session events: " << HrText(hr);
      break;
    }
    MediaEventType type = MEUnknown;
    HRESULT status = S_OK;
    if (FAILED(event->GetType(&type)) || FAILED(event->GetStatus(&status))) continue;
    LOG_DEBUG << "media session event " << type << ", status 0x" << std::hex << static_cast<uint32_t>(status);
    if (FAILED(status)) LOG_ERROR << "event status: " << HrText(status) << " (event " << type << ")";
    switch (type) {
      case MESessionStarted:
        if (SUCCEEDED(status)) grabber_->SessionStarted((MonotonicNowNs() - start_time_ns_) / 1000);
        break;
      case MESessionEnded:
        LOG_WARNING << "the camera's stream ended";
        if (!paused_) session_->Close();
        break;
      case MESessionClosed:
        closed = true;
        break;
      default:
        break;
    }
  }
  SetEvent(event_thread_ended_.Get());
}

}  // namespace VellRecorder
