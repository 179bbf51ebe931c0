// Camera recording: a Media Foundation media session runs the camera's media source through a topology
// source -> (MJPEG decoder) -> colour converter -> H.264 encoder -> sample-grabber sink, whose callback
// (CSampleGrabber) writes every encoded frame into the recording's HLSSink. A thread of the session pumps the
// media session's events. Pausing keeps the camera running and only keeps frames from the sink.
#pragma once

#include <windows.h>
#include <mfidl.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "utils/comptr.h"
#include "utils/scopedhandle.h"

namespace VellRecorder {

class CSampleGrabber;
class HLSSink;

// Opens the media source of the camera with this name; logs why it cannot.
using CameraSourceOpener = std::function<HRESULT(const std::wstring& camera_name, IMFMediaSource** source)>;

// The daemon's opener: the video capture device whose friendly name equals the camera name exactly.
HRESULT OpenCameraByName(const std::wstring& camera_name, IMFMediaSource** source);

class CameraRecordingSession {
 public:
  // Waits this long for the media session to close before shutting it down regardless.
  static constexpr DWORD kCloseTimeoutMs = 5000;

  // `max_width`: the widest camera format accepted. The sink is borrowed and must outlive the session.
  CameraRecordingSession(std::wstring camera_name, uint32_t max_width, uint32_t height, HLSSink* sink,
                         CameraSourceOpener opener = OpenCameraByName);
  // Stops a session still running.
  ~CameraRecordingSession();
  CameraRecordingSession(const CameraRecordingSession&) = delete;
  CameraRecordingSession& operator=(const CameraRecordingSession&) = delete;

  // Opens the camera, chooses its format and sets the topology on a new media session. After a failure the
  // other operations do nothing.
  HRESULT Initialize();
  // Frames are timed from start_time_ns (MonotonicNowNs). Once.
  void Start(int64_t start_time_ns);
  void Pause();
  void Resume();
  // Returns once the media session is closed and shut down and the event thread has ended (at most about
  // kCloseTimeoutMs); no frame reaches the sink after it.
  void Stop();

  // The chosen camera format's size (after Initialize).
  uint32_t Width() const { return width_; }
  uint32_t Height() const { return height_; }

 private:
  HRESULT InitializeTopology();
  HRESULT CreateStreamDescriptor();
  HRESULT SetMediaType();
  HRESULT AddSourceNode();
  HRESULT AddDecoderNode();
  HRESULT AddColorConversionNode();
  HRESULT AddEncoderNode();
  HRESULT ConfigureEncoder(IMFActivate* activate);
  HRESULT CreateH264MediaTypes();
  HRESULT AddOutputNode();
  HRESULT AddTransformNode(IMFTransform* transform, IMFMediaType* input, IMFMediaType* output,
                           ComPtr<IMFTopologyNode>* node);
  HRESULT ConnectNodes();
  // Asks the encoder for a keyframe, so that the first frame after a resume can be written.
  void RequestKeyframe();
  // Event thread.
  void EventLoop();
  // Session and source shut down, once.
  void ShutDownMedia();

  const std::wstring camera_name_;
  uint32_t width_;
  uint32_t height_;
  HLSSink* const sink_;
  const CameraSourceOpener opener_;

  // Built by Initialize on the control thread; the media session and Media Foundation's threads use them
  // from Start on; released after ShutDownMedia.
  ComPtr<IMFMediaSession> session_;
  ComPtr<IMFMediaSource> source_;
  ComPtr<IMFPresentationDescriptor> presentation_descriptor_;
  ComPtr<IMFStreamDescriptor> stream_descriptor_;
  ComPtr<IMFMediaType> camera_type_;
  ComPtr<IMFTopology> topology_;
  ComPtr<IMFTransform> encoder_;
  ComPtr<CSampleGrabber> grabber_;
  ComPtr<IMFTopologyNode> source_node_;
  ComPtr<IMFTopologyNode> converter_node_;
  ComPtr<IMFTopologyNode> decoder_node_;  // MJPEG cameras only
  ComPtr<IMFTopologyNode> encoder_node_;
  ComPtr<IMFTopologyNode> output_node_;
  ComPtr<IMFMediaType> nv12_type_;
  ComPtr<IMFMediaType> h264_type_;
  ComPtr<IMFMediaType> decoded_type_;  // YUY2 into the converter: decoder output, or the camera type

  // Control thread only.
  bool initialized_ = false;
  bool started_ = false;
  bool stopped_ = false;
  bool media_shut_down_ = false;
  // Set by the control thread before the event thread starts; read by it.
  int64_t start_time_ns_ = 0;
  // Written by the control thread, read by the event thread (an end of stream closes the session unless paused).
  std::atomic<bool> paused_{false};
  // Manual-reset, set by the event thread as it ends.
  ScopedHandle event_thread_ended_;
  std::thread event_thread_;
};

}  // namespace VellRecorder
