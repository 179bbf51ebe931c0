#include "sessions/swscreenrecordingsession.h"

#include <mfapi.h>

#include "media_sources/video/gdisource.h"
#include "media_transforms/bufferloader.h"
#include "media_transforms/openh264/i420layout.h"
#include "media_transforms/openh264/libyuvresizer.h"
#include "media_transforms/videoframelayout.h"
#include "muxers/hlssink.h"
#include "tracehr.h"
#include "utils/clock.h"
#include "utils/guardedthread.h"

namespace VellRecorder {
namespace {

constexpr int64_t kFrameIntervalNs = 1000000000LL / SWScreenRecordingSession::kFrameRate;
// How long the capture waits for the encoder to take the previous frame. A frame lost on its way releases the
// capture anyway, so this only bounds the wait should one be lost unnoticed: the recording goes on.
constexpr int64_t kEncoderWaitLimitNs = 1000000000LL;
// Unused frame buffers kept per stage: a stage holds one frame while the next stage and the encoder still hold
// the one before it.
constexpr size_t kKeptFrames = 3;
// Bounds Initialize's wait for the capture thread's first copy: a slower one delays the recording's first
// frames instead.
constexpr DWORD kWarmUpLimitMs = 2000;

HRESULT CreateAutoResetEvent(ScopedHandle* event) {
  event->Reset(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  if (event->IsValid()) return S_OK;
  LogWinErr("Failed to create event");
  return HRESULT_FROM_WIN32(GetLastError());
}

// Writes a frame into a buffer of its own from `pool`, held by `slot`; the next stage may still read the one
// published last. The slot lets go of that one first, so that its memory can come back if nobody else holds it.
// `write` fills the buffer (false: no frame); `length` bytes of it count.
template <typename Write>
bool WriteFreshBuffer(SafeMFBuffer* slot, MediaBufferPool* pool, DWORD length, Write write) {
  ComPtr<IMFMediaBuffer>* buffer = slot->MutableBuffer();
  buffer->Reset();
  if (FAILED(pool->Create(buffer))) return false;
  {
    BufferLoader loader(buffer->Get());
    const auto bytes = loader.LoadMaxLength();
    if (!bytes || !write(bytes->data)) return false;
  }
  const HRESULT hr = (*buffer)->SetCurrentLength(length);
  if (FAILED(hr)) {
    VELL_TRACE_FAILURE(hr);
    return false;
  }
  return true;
}

}  // namespace

SWScreenRecordingSession::SWScreenRecordingSession(VideoRecordingSettings settings, HLSSink* sink)
    : capture_(0),
      captured_(0),
      convert_(0),
      converted_(0),
      resize_(0),
      encode_(0),
      sink_(sink),
      pacer_(kFrameIntervalNs),
      settings_(std::move(settings)) {}

SWScreenRecordingSession::~SWScreenRecordingSession() { Stop(); }

HRESULT SWScreenRecordingSession::Initialize() { return Initialize(std::make_unique<GDISource>(settings_)); }

HRESULT SWScreenRecordingSession::Initialize(std::unique_ptr<VideoSource> source) {
  if (!source) return VELL_TRACE_FAILURE(E_POINTER);
  source_ = std::move(source);
  converter_ = std::make_unique<Libyuv::ColorConverter>(
      settings_.CaptureLayout(static_cast<uint8_t>(source_->GetBytesPerPixel())));
  const SIZE output = settings_.OutputSize();
  capture_pool_ = std::make_unique<MediaBufferPool>(
      static_cast<DWORD>(settings_.CaptureWidth()) * static_cast<DWORD>(settings_.CaptureHeight()) *
          source_->GetBytesPerPixel(),
      kKeptFrames);
  resize_pool_ = std::make_unique<MediaBufferPool>(
      static_cast<DWORD>(Libyuv::I420PlanarSize(static_cast<uint32_t>(output.cx), static_cast<uint32_t>(output.cy))),
      kKeptFrames);
  encoder_.reset();  // one OpenH264 instance at a time
  encoder_ = std::make_unique<OpenH264::H264Encoder>(OpenH264::EncoderSettings{
      static_cast<uint32_t>(output.cx), static_cast<uint32_t>(output.cy), kFrameRate, kIdrInterval});
  RETURN_IF_FAILED(CreateAutoResetEvent(&captured_event_));
  RETURN_IF_FAILED(CreateAutoResetEvent(&converted_event_));
  RETURN_IF_FAILED(CreateAutoResetEvent(&resized_event_));
  RETURN_IF_FAILED(CreateAutoResetEvent(&resume_event_));
  RETURN_IF_FAILED(CreateAutoResetEvent(&ready_event_));
  for (ScopedHandle* event : {&stop_event_, &warmed_event_, &start_event_}) {
    event->Reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!event->IsValid()) {
      LogWinErr("Failed to create event");
      return VELL_TRACE_FAILURE(HRESULT_FROM_WIN32(GetLastError()));
    }
  }
  if (capture_thread_.joinable()) {
    LOG_ERROR << "Initialize called twice";
    return VELL_TRACE_FAILURE(E_UNEXPECTED);
  }
  running_ = true;
  capture_thread_ = LaunchGuardedThread([this] {
    if (WarmUpAndWaitForStart()) CapturingSession();
  });
  if (WaitForSingleObject(warmed_event_.Get(), kWarmUpLimitMs) != WAIT_OBJECT_0) {
    LOG_WARNING << "the first copy of the screen took more than " << kWarmUpLimitMs << " ms";
  }
  return S_OK;
}

bool SWScreenRecordingSession::Resizes() const {
  const SIZE output = settings_.OutputSize();
  return output.cx != settings_.CaptureWidth() || output.cy != settings_.CaptureHeight();
}

void SWScreenRecordingSession::Start(int64_t start_time_ns) {
  if (!encoder_ || !capture_thread_.joinable()) {
    LOG_ERROR << "Start without a successful Initialize";
    return;
  }
  if (encode_thread_.joinable() || !running_) {
    LOG_ERROR << "Start called twice, or after Stop";
    return;
  }
  start_time_ns_ = start_time_ns;
  SafeMFBuffer origin(start_time_ns);
  for (SafeMFBuffer* slot : {&capture_, &captured_, &convert_, &converted_, &resize_, &encode_}) {
    slot->Restart(origin);
  }
  converted_time_us_ = resized_time_us_ = encoded_time_us_ = -1;
  pacer_.Reset();
  gate_.Reset();
  SetEvent(start_event_.Get());
  convert_thread_ = LaunchGuardedThread([this] { ConvertingSession(); });
  if (Resizes()) resize_thread_ = LaunchGuardedThread([this] { ResizingSession(); });
  encode_thread_ = LaunchGuardedThread([this] { EncodingSession(); });
}

void SWScreenRecordingSession::Stop() {
  running_ = false;
  // After running_ is cleared: a thread that wakes from any wait finds it cleared and leaves.
  if (stop_event_.IsValid()) SetEvent(stop_event_.Get());
  for (std::thread* thread : {&capture_thread_, &resize_thread_, &convert_thread_, &encode_thread_}) {
    if (thread->joinable()) thread->join();
  }
}

void SWScreenRecordingSession::Pause() {
  pauses_.Paused(MonotonicNowNs());
  paused_ = true;
  // A capture thread waiting for the encoder goes to its pause at once: the paused time is counted from there.
  if (ready_event_.IsValid()) SetEvent(ready_event_.Get());
}

void SWScreenRecordingSession::Resume() {
  pauses_.Resumed(MonotonicNowNs());
  paused_ = false;
  if (resume_event_.IsValid()) SetEvent(resume_event_.Get());
}

bool SWScreenRecordingSession::WaitForFrame(HANDLE event) const {
  const HANDLE handles[] = {event, stop_event_.Get()};
  WaitForMultipleObjects(2, handles, FALSE, INFINITE);
  return running_;
}

// Capture thread.
bool SWScreenRecordingSession::WarmUpAndWaitForStart() {
  ComPtr<IMFMediaBuffer> buffer;
  if (SUCCEEDED(capture_pool_->Create(&buffer))) {
    BufferLoader loader(buffer.Get());
    const auto pixels = loader.LoadMaxLength();
    uint8_t* destination = pixels ? pixels->data : nullptr;
    if (destination != nullptr) source_->CaptureToSystemMemory(&destination);
  }
  SetEvent(warmed_event_.Get());
  return WaitForFrame(start_event_.Get());
}

void SWScreenRecordingSession::CapturingSession() {
  while (running_) {
    WaitWhilePaused();
    if (!WaitUntilEncoderReady() || !WaitUntilCaptureDue()) break;
    if (paused_) continue;  // paused while waiting: that frame belongs to the pause
    // The frame is the screen as the copy began. The copy itself takes milliseconds, several times more on a busy
    // machine: a frame stamped when it ended would come that much late against the sound, and by varying amounts.
    const int64_t taken_ns = MonotonicNowNs();
    pacer_.Taken(taken_ns);
    if (!CaptureFrame()) continue;  // a failed copy leaves the buffer unfilled: nothing to publish
    // Whole microseconds, as the frame clock counts.
    capture_.ExcludeFromClock(pauses_.TakeEnded() / 1000 * 1000);
    capture_.Stamp(taken_ns);
    gate_.Published(capture_.TimeUs());  // before any stage can see the frame, and so release it
    capture_.PublishTo(&captured_);
    SetEvent(captured_event_.Get());
  }
}

bool SWScreenRecordingSession::WaitUntilEncoderReady() {
  const HANDLE handles[] = {ready_event_.Get(), stop_event_.Get()};
  const int64_t give_up_ns = MonotonicNowNs() + kEncoderWaitLimitNs;
  // The event is auto-reset and set after every release and by Pause: one that comes between the check and the
  // wait leaves it set, so the wait cannot miss it.
  while (running_ && !paused_ && !gate_.IsReady()) {
    const int64_t left_ns = give_up_ns - MonotonicNowNs();
    if (left_ns <= 0) break;
    WaitForMultipleObjects(2, handles, FALSE, WaitMilliseconds(left_ns));
  }
  return running_;
}

void SWScreenRecordingSession::ReleaseFrame(int64_t time_us) {
  gate_.Released(time_us);
  SetEvent(ready_event_.Get());
}

bool SWScreenRecordingSession::WaitUntilCaptureDue() {
  const int64_t wait_ns = pacer_.NanosecondsUntilDue(MonotonicNowNs());
  if (wait_ns > 0) WaitForSingleObject(stop_event_.Get(), WaitMilliseconds(wait_ns));
  return running_;
}

void SWScreenRecordingSession::WaitWhilePaused() {
  if (!paused_) return;
  const HANDLE handles[] = {resume_event_.Get(), stop_event_.Get()};
  // A resume signal left over from an earlier quick Pause/Resume must not end this pause: wait again
  // until the flag itself is cleared.
  while (paused_ && running_) WaitForMultipleObjects(2, handles, FALSE, INFINITE);
  pacer_.Reset();
}

bool SWScreenRecordingSession::CaptureFrame() {
  const DWORD bytes = static_cast<DWORD>(settings_.CaptureWidth()) * static_cast<DWORD>(settings_.CaptureHeight()) *
                      source_->GetBytesPerPixel();
  return WriteFreshBuffer(&capture_, capture_pool_.get(), bytes, [this](uint8_t* destination) {
    return SUCCEEDED(source_->CaptureToSystemMemory(&destination));
  });
}

ComPtr<IMFMediaBuffer> SWScreenRecordingSession::TakeNewest(SafeMFBuffer* slot, SafeMFBuffer* own,
                                                            int64_t* last_time_us) {
  auto lock = slot->Lock();
  if (!slot->Buffer() || slot->TimeUs() <= *last_time_us) return nullptr;
  *last_time_us = slot->TimeUs();
  slot->CopyTimingTo(own);
  return ComPtr<IMFMediaBuffer>(slot->Buffer());
}

// Convert thread.
void SWScreenRecordingSession::ConvertingSession() {
  const bool resizes = Resizes();
  SafeMFBuffer* target = resizes ? &converted_ : &encode_;
  while (WaitForFrame(captured_event_.Get())) {
    const ComPtr<IMFMediaBuffer> captured = TakeNewest(&captured_, &convert_, &converted_time_us_);
    if (!captured) continue;
    // An I420 buffer of its own per frame (from the converter's pool); a failed conversion is logged by the
    // converter, and its unfilled buffer is not passed on.
    if (converter_->Process(captured.Get(), convert_.MutableBuffer()) != 0) {
      ReleaseFrame(convert_.TimeUs());
      continue;
    }
    convert_.PublishTo(target);
    SetEvent(converted_event_.Get());
  }
}

// Resize thread.
void SWScreenRecordingSession::ResizingSession() {
  while (WaitForFrame(converted_event_.Get())) {
    const ComPtr<IMFMediaBuffer> converted = TakeNewest(&converted_, &resize_, &resized_time_us_);
    if (!converted) continue;
    if (!ResizeFrame(converted.Get())) {
      ReleaseFrame(resize_.TimeUs());
      continue;
    }
    resize_.PublishTo(&encode_);
    SetEvent(resized_event_.Get());
  }
}

bool SWScreenRecordingSession::ResizeFrame(IMFMediaBuffer* converted) {
  const uint32_t src_width = static_cast<uint32_t>(settings_.CaptureWidth());
  const uint32_t src_height = static_cast<uint32_t>(settings_.CaptureHeight());
  const SIZE output = settings_.OutputSize();
  const uint32_t dst_width = static_cast<uint32_t>(output.cx);
  const uint32_t dst_height = static_cast<uint32_t>(output.cy);
  BufferLoader source(converted);
  const auto src = source.LoadMaxLength();
  if (!src || src->length < Libyuv::I420PlanarSize(src_width, src_height)) {
    LOG_WARNING << "unexpected empty buffer was received";
    return false;
  }
  // Sized for the output, which may be larger than the capture.
  const DWORD length = static_cast<DWORD>(Libyuv::I420PlanarSize(dst_width, dst_height));
  return WriteFreshBuffer(&resize_, resize_pool_.get(), length, [&](uint8_t* destination) {
    return Libyuv::Resizer::ScaleFrame(src->data, src_width, src_height, destination, dst_width, dst_height);
  });
}

// Encode thread.
void SWScreenRecordingSession::EncodingSession() {
  const HANDLE event = Resizes() ? resized_event_.Get() : converted_event_.Get();
  while (WaitForFrame(event)) EncodeFrame();
}

void SWScreenRecordingSession::EncodeFrame() {
  ComPtr<IMFSample> input;
  {
    auto lock = encode_.Lock();
    if (!encode_.Buffer() || encode_.TimeUs() <= encoded_time_us_) return;
    encoded_time_us_ = encode_.TimeUs();
    ReleaseFrame(encoded_time_us_);  // while this one is encoded, the next can be captured
    // The sample holds its own reference to the buffer, which is never written again once published,
    // so the encoder can read it without holding the slot.
    if (FAILED(encode_.CreateSample(&input))) return;
  }
  if (keyframes_.Due(encoded_time_us_)) encoder_->ForceKeyframe();
  const ComPtr<IMFSample> output = encoder_->Encode(input.Get());
  if (!output) return;
  DWORD length = 0;
  // A frame the encoder skipped comes back empty: it is not a frame of the stream.
  if (FAILED(output->GetTotalLength(&length)) || length == 0) return;
  sink_->Mux(output.Get(), StreamKind::kVideo);
}

}  // namespace VellRecorder
