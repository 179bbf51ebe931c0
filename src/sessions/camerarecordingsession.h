// Camera recording: a Media Foundation media session runs the camera's media source through a topology
// source -> (MJPEG decoder) -> colour converter -> H.264 encoder -> sample-grabber sink, whose callback
// (CSampleGrabber) writes every encoded frame into the recording's HLSSink. A thread of the session pumps the
// media session's events. Pausing keeps the camera running and only keeps frames from the sink.
//
// A camera lost after the start (unplugged, taken by another program, its session failing to start) does not
// end the recording: the loss is logged once, the sound goes on, and the camera is looked for by its name every
// kReopenIntervalMs and recorded again on the same time line when it is back. The time without its video is
// counted (VideoLostMs).
#pragma once

#include <windows.h>
#include <mfidl.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "utils/comptr.h"
#include "utils/scopedhandle.h"

namespace VellRecorder {

class CSampleGrabber;
class HLSSink;

// Opens the media source of the camera with this name; logs why it cannot, except that no camera has the name
// (kNoSuchCamera): a camera looked for again every second is not logged every second.
using CameraSourceOpener = std::function<HRESULT(const std::wstring& camera_name, IMFMediaSource** source)>;
constexpr HRESULT kNoSuchCamera = __HRESULT_FROM_WIN32(ERROR_NOT_FOUND);

// The daemon's opener: the video capture device whose friendly name equals the camera name exactly.
HRESULT OpenCameraByName(const std::wstring& camera_name, IMFMediaSource** source);

class CameraRecordingSession {
 public:
  // Waits this long for the media session to close before shutting it down regardless.
  static constexpr DWORD kCloseTimeoutMs = 5000;
  // A lost camera is looked for this often.
  static constexpr DWORD kReopenIntervalMs = 1000;
  // A camera whose frames stop for this long is lost: not every media session tells of a failing source (Wine's
  // reports neither its error event nor its shutdown). Its first frame may take longer.
  static constexpr int64_t kStalledNs = 3'000'000'000;
  static constexpr int64_t kFirstFrameNs = 6'000'000'000;
  // After a resume (or a first frame that was missed) the video waits for a keyframe. An encoder that gives none
  // for this long, although asked every second and past its own GOP (2 s), is built anew with the camera's
  // pipeline: a new encoder's first frame is a keyframe. Without it such an encoder would leave the video missing
  // until the stop.
  static constexpr int64_t kKeyframeWaitNs = 3'000'000'000;
  // How often the event thread looks at the frames while it waits for events.
  static constexpr DWORD kEventPollMs = 50;

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
  const std::wstring& CameraName() const { return camera_name_; }
  // Milliseconds of the recording without the camera's video: while it was lost, and waiting for a keyframe
  // after a resume. After Stop.
  int64_t VideoLostMs() const;

 private:
  // The camera, its topology and a media session with it. Under media_mutex_ once the event thread runs.
  HRESULT OpenMedia();
  HRESULT InitializeTopology();
  HRESULT CreateStreamDescriptor();
  HRESULT SetMediaType();
  HRESULT AddSourceNode();
  HRESULT AddDecoderNode();
  HRESULT AddColorConversionNode();
  HRESULT AddEncoderNode();
  HRESULT CreateH264MediaTypes();
  HRESULT AddOutputNode();
  HRESULT AddTransformNode(IMFTransform* transform, IMFMediaType* input, IMFMediaType* output,
                           ComPtr<IMFTopologyNode>* node);
  // Sets the transform's input and output types, then adds its node.
  HRESULT AddConvertingNode(IMFTransform* transform, IMFMediaType* input, IMFMediaType* output,
                            ComPtr<IMFTopologyNode>* node);
  HRESULT ConnectNodes();
  // Asks the encoder for a keyframe, so that the first frame after a resume can be written.
  void RequestKeyframe();
  // The encoder's out-of-band parameter sets, if any.
  std::vector<uint8_t> SequenceHeader();
  // Event thread: runs media sessions until the recording stops; after a loss, opens the camera again.
  void EventLoop();
  // Runs the current media session until it closes (false) or the camera is lost (true, and why).
  bool RunMediaSession(std::string* why);
  // The next event of `session`, waiting for it; nothing (and why in *why) when the camera stopped delivering
  // frames since `started_ns`, or when the session is shut down (*why empty).
  ComPtr<IMFMediaEvent> NextEvent(IMFMediaSession* session, int64_t started_ns, std::string* why);
  // Looks for the camera every kReopenIntervalMs until it is open again (true) or the session stops (false).
  bool Reopen();
  // The current media session and source are shut down and let go. The second without taking media_mutex_.
  void ShutDownMedia();
  void ShutDownMediaLocked();
  bool Stopping();

  const std::wstring camera_name_;
  uint32_t width_;
  uint32_t height_;
  HLSSink* const sink_;
  const CameraSourceOpener opener_;

  // Built by Initialize on the control thread, and again by the event thread when a lost camera is back, under
  // media_mutex_; Media Foundation's threads use them while their session runs. The control thread reads
  // session_ and encoder_ under media_mutex_ (a keyframe request only tries it: no request is due while a
  // camera is opened); the event thread pumps a copy of session_.
  std::mutex media_mutex_;
  bool stopping_ = false;  // guarded by media_mutex_: no new media session after Stop
  ComPtr<IMFMediaSession> session_;
  ComPtr<IMFMediaSource> source_;
  ComPtr<IMFPresentationDescriptor> presentation_descriptor_;
  ComPtr<IMFStreamDescriptor> stream_descriptor_;
  ComPtr<IMFMediaType> camera_type_;
  ComPtr<IMFTopology> topology_;
  ComPtr<IMFTransform> encoder_;
  // Made once, by Initialize: it keeps the recording's time line across the media sessions of a reopened camera.
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
  // Written by the control thread, read by the event thread (an end of stream closes the session unless paused).
  std::atomic<bool> paused_{false};
  // Event thread: since when the camera is lost (its last frame, monotonic clock), until a media session of it
  // started again.
  std::optional<int64_t> lost_ns_;
  // Manual-reset: set by the event thread as it ends, and by Stop for a reopening event thread.
  ScopedHandle event_thread_ended_;
  ScopedHandle stop_requested_;
  std::thread event_thread_;
};

}  // namespace VellRecorder
