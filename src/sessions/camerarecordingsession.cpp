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
  return kNoSuchCamera;
}

CameraRecordingSession::CameraRecordingSession(std::wstring camera_name, uint32_t max_width, uint32_t height,
                                               HLSSink* sink, CameraSourceOpener opener)
    : camera_name_(std::move(camera_name)),
      width_(max_width),
      height_(height),
      sink_(sink),
      opener_(std::move(opener)),
      event_thread_ended_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      stop_requested_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

CameraRecordingSession::~CameraRecordingSession() {
  Stop();
  ShutDownMedia();
}

HRESULT CameraRecordingSession::Initialize() {
  if (initialized_ || stopped_) return E_UNEXPECTED;
  if (!event_thread_ended_.Get() || !stop_requested_.Get()) {
    return VELL_TRACE_FAILURE(HRESULT_FROM_WIN32(GetLastError()));
  }
  std::lock_guard<std::mutex> lock(media_mutex_);
  const HRESULT hr = OpenMedia();
  if (hr == kNoSuchCamera) {
    LOG_ERROR << "no cameras named " << camera_name_ << " were found";
    return E_FAIL;
  }
  RETURN_IF_FAILED(hr);
  initialized_ = true;
  return S_OK;
}

HRESULT CameraRecordingSession::OpenMedia() {
  const HRESULT hr = opener_(camera_name_, source_.ReleaseAndGetAddressOf());
  if (hr == kNoSuchCamera) return hr;
  RETURN_IF_FAILED(hr);
  RETURN_IF_FAILED(InitializeTopology());
  RETURN_IF_FAILED(MFCreateMediaSession(nullptr, session_.ReleaseAndGetAddressOf()));
  RETURN_IF_FAILED(session_->SetTopology(0, topology_.Get()));
  return S_OK;
}

void CameraRecordingSession::Start(int64_t start_time_ns) {
  if (!initialized_ || started_ || stopped_) return;
  started_ = true;
  grabber_->Start(start_time_ns);
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
  // Without it the sink waits for the encoder's next regular keyframe. While a lost camera is opened again there
  // is no encoder to ask, and its first frame is a keyframe anyway.
  std::unique_lock<std::mutex> lock(media_mutex_, std::try_to_lock);
  if (!lock.owns_lock() || !encoder_) return;
  const HRESULT hr = MediaFoundation::RequestKeyframe(encoder_.Get());
  if (FAILED(hr) && hr != E_NOINTERFACE) LOG_DEBUG << "no keyframe on request: " << HrText(hr);
}

std::vector<uint8_t> CameraRecordingSession::SequenceHeader() {
  // Asked again at the next frame when a camera is being opened again.
  std::unique_lock<std::mutex> lock(media_mutex_, std::try_to_lock);
  if (!lock.owns_lock() || !encoder_) return {};
  return MediaFoundation::SequenceHeader(encoder_.Get());
}

int64_t CameraRecordingSession::VideoLostMs() const { return grabber_ ? grabber_->LostUs() / 1000 : 0; }

void CameraRecordingSession::Stop() {
  if (!initialized_ || stopped_) return;
  stopped_ = true;
  grabber_->Stop();
  ComPtr<IMFMediaSession> session;
  {
    std::lock_guard<std::mutex> lock(media_mutex_);
    stopping_ = true;
    session = session_;
  }
  SetEvent(stop_requested_.Get());
  if (event_thread_.joinable()) {
    // Each failure is recorded; the session is shut down regardless, which also ends the event thread. A
    // session lost and not yet back has nothing to stop.
    HRESULT hr = session ? session->Stop() : S_OK;
    if (FAILED(hr)) VELL_TRACE_FAILURE(hr);
    hr = session ? session->Close() : E_ABORT;
    if (FAILED(hr) && hr != E_ABORT) VELL_TRACE_FAILURE(hr);
    if (SUCCEEDED(hr) && WaitForSingleObject(event_thread_ended_.Get(), kCloseTimeoutMs) != WAIT_OBJECT_0) {
      LOG_ERROR << "the camera's media session did not close within " << kCloseTimeoutMs << " ms";
    }
    // Ends a GetEvent that still waits.
    ShutDownMedia();
    event_thread_.join();
  }
  ShutDownMedia();
}

bool CameraRecordingSession::Stopping() {
  std::lock_guard<std::mutex> lock(media_mutex_);
  return stopping_;
}

void CameraRecordingSession::ShutDownMedia() {
  std::lock_guard<std::mutex> lock(media_mutex_);
  ShutDownMediaLocked();
}

void CameraRecordingSession::ShutDownMediaLocked() {
  if (session_) session_->Shutdown();
  // The media session leaves the source to its owner.
  if (source_) source_->Shutdown();
  session_.Reset();
  source_.Reset();
}

void CameraRecordingSession::EventLoop() {
  for (std::string why; RunMediaSession(&why);) {
    // A camera that keeps refusing to start is one loss, told once.
    if (!lost_ns_) {
      const int64_t now_ns = MonotonicNowNs();
      grabber_->Lost(now_ns);
      // Told from its last frame: a stalled camera is seen only a while after it.
      const int64_t last_ns = grabber_->LastSampleNs();
      lost_ns_ = last_ns > 0 ? last_ns : now_ns;
      LOG_ERROR << "camera \"" << camera_name_ << "\" stopped delivering video (" << why << "): looking for it every "
                << kReopenIntervalMs << " ms";
    }
    ShutDownMedia();
    if (!Reopen()) break;
  }
  SetEvent(event_thread_ended_.Get());
}

bool CameraRecordingSession::RunMediaSession(std::string* why) {
  ComPtr<IMFMediaSession> session;
  {
    std::lock_guard<std::mutex> lock(media_mutex_);
    session = session_;
  }
  if (!session) return false;
  PROPVARIANT start_position;
  PropVariantInit(&start_position);  // VT_EMPTY: from the current position
  const int64_t started_ns = MonotonicNowNs();
  const HRESULT hr = session->Start(&GUID_NULL, &start_position);
  if (FAILED(hr)) {
    VELL_TRACE_FAILURE(hr);
    *why = "the media session did not start: " + HrText(hr);
    return !Stopping();
  }
  for (;;) {
    const ComPtr<IMFMediaEvent> event = NextEvent(session.Get(), started_ns, why);
    if (!event) return !why->empty();
    MediaEventType type = MEUnknown;
    HRESULT status = S_OK;
    if (FAILED(event->GetType(&type)) || FAILED(event->GetStatus(&status))) continue;
    LOG_DEBUG << "media session event " << type << ", status 0x" << std::hex << static_cast<uint32_t>(status);
    // A camera that fails (or fails to start) is gone from this session; a failure while stopping is not a loss.
    if (FAILED(status) && (type == MEError || type == MESessionStarted) && !Stopping()) {
      *why = HrText(status);
      return true;
    }
    if (FAILED(status)) LOG_ERROR << "event status: " << HrText(status) << " (event " << type << ")";
    switch (type) {
      case MESessionStarted:
        grabber_->SessionStarted();
        if (lost_ns_) {
          LOG_ERROR << "camera \"" << camera_name_ << "\" is back after " << (MonotonicNowNs() - *lost_ns_) / 1000000
                    << " ms: recorded again";
          lost_ns_.reset();
        }
        break;
      case MESessionEnded:
        LOG_WARNING << "the camera's stream ended";
        if (!paused_) session->Close();
        break;
      case MESessionClosed:
        return false;
      default:
        break;
    }
  }
}

ComPtr<IMFMediaEvent> CameraRecordingSession::NextEvent(IMFMediaSession* session, int64_t started_ns,
                                                        std::string* why) {
  why->clear();
  for (;;) {
    ComPtr<IMFMediaEvent> event;
    const HRESULT hr = session->GetEvent(MF_EVENT_FLAG_NO_WAIT, event.ReleaseAndGetAddressOf());
    if (SUCCEEDED(hr)) return event;
    if (hr != MF_E_NO_EVENTS_AVAILABLE) {
      // MF_E_SHUTDOWN: Stop shut the session down.
      if (hr != MF_E_SHUTDOWN) LOG_ERROR << "no more media session events: " << HrText(hr);
      return nullptr;
    }
    Sleep(kEventPollMs);
    // A stopping session may wait for its close; its frames end before it.
    const int64_t last_ns = grabber_->LastSampleNs();
    const int64_t since_ns = last_ns > started_ns ? last_ns : started_ns;
    const int64_t allowed_ns = last_ns > started_ns ? kStalledNs : kFirstFrameNs;
    if (MonotonicNowNs() - since_ns > allowed_ns && !Stopping()) {
      *why = "no frame for " + std::to_string(allowed_ns / 1000000) + " ms";
      return nullptr;
    }
    const int64_t waiting_since_ns = grabber_->KeyframeWaitSinceNs();
    if (waiting_since_ns > 0 && MonotonicNowNs() - waiting_since_ns > kKeyframeWaitNs && !Stopping()) {
      *why = "its encoder gave no keyframe for " + std::to_string(kKeyframeWaitNs / 1000000) +
             " ms: built anew";
      return nullptr;
    }
  }
}

bool CameraRecordingSession::Reopen() {
  for (;;) {
    if (WaitForSingleObject(stop_requested_.Get(), kReopenIntervalMs) != WAIT_TIMEOUT) return false;
    std::lock_guard<std::mutex> lock(media_mutex_);
    if (stopping_) return false;
    if (SUCCEEDED(OpenMedia())) return true;
    ShutDownMediaLocked();
  }
}

}  // namespace VellRecorder
