// The single output of a recording: every session hands its encoded frames (H.264 access units, AAC
// ADTS frames) to one HLSSink, which multiplexes them in time order into MPEG-TS part files "part-0.ts",
// "part-1.ts", ... in the output folder, cuts a new part at the first video keyframe past every 4-second
// boundary (at the sound on the same grid while the picture has stopped), and reports each finished part
// through a callback. No playlist is written. In a folder that already holds parts
// (an earlier recording's), the numbers go on after the highest: a part once reported is never written again.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "muxers/interleaver.h"
#include "muxers/parametersets.h"
#include "muxers/partfile.h"
#include "muxers/ts_muxer.h"

#ifdef _WIN32
#include <windows.h>
struct IMFSample;
#endif

namespace VellRecorder {

class HLSSink {
 public:
  // A part is cut at the first video keyframe past each multiple of this on the time line.
  static constexpr int64_t kTargetPartDurationUs = 4000000;
  // The picture counts as stopped (a camera lost) once the sound has gone on this long without it; parts are
  // then cut at the sound, so that they are still reported while the recording goes on.
  static constexpr int64_t kVideoLostAfterUs = kTargetPartDurationUs;

  // Receives the full path of each finished (closed) part. Runs with the sink's mutex held, on the thread
  // whose frame let the cutting frame out (of either stream) or on the caller of Finish: it must not call back
  // into the sink.
  using PartFinishedCallback = std::function<void(std::wstring)>;

  HLSSink(std::wstring output_folder, PartFinishedCallback on_part_finished);
  HLSSink(const HLSSink&) = delete;
  HLSSink& operator=(const HLSSink&) = delete;
  // Finishes the open part, if any.
  ~HLSSink();

  // Makes sure the output folder exists and takes files, before any frame comes. Returns why it cannot be
  // used (not an absolute path, cannot be created, cannot be written), or an empty string.
  std::string PrepareOutputFolder() const;

#ifdef _WIN32
  // Muxes the sample's bytes with its sample time (100-ns units). Failures are logged and returned; the
  // frame is then dropped.
  HRESULT Mux(IMFSample* sample, StreamKind kind);
#endif

  // One frame: an H.264 access unit (Annex B) or an AAC frame with its ADTS header; time in microseconds
  // on the recording's time line. Safe to call from several threads. The frame is copied and may be held
  // until the other stream has caught up with its time (FrameInterleaver), so a part's sound is that of its
  // picture's time span; its bytes and time are written unchanged.
  void MuxRaw(const uint8_t* data, uint32_t length, int64_t time_us, StreamKind kind);

  // The encoder's sequence header (Annex-B SPS and PPS), for encoders that keep the parameter sets out of band:
  // every IDR picture that comes without them gets them ahead of it. Sets carried in the stream replace it.
  void SetSequenceHeader(const uint8_t* data, size_t length);
  // Whether the video's parameter sets are known (from the stream or a sequence header).
  bool KnowsParameterSets();

  // Writes every frame still held, then closes and reports the open part. A later MuxRaw opens the next
  // index: a reported part is never written again.
  void Finish();

  // Video frames written into a part since construction: a frame the muxer refuses or a write fails to
  // store is not counted.
  uint64_t VideoFrameCount() const { return video_frame_count_.load(std::memory_order_relaxed); }
  // When the first of them was written (monotonic clock); 0 before.
  int64_t FirstVideoFrameNs() const { return first_video_frame_ns_.load(std::memory_order_relaxed); }

  // Whether an access unit starts with an SPS, after an optional access unit delimiter: the encoders put
  // one at the head of every keyframe, and only such frames may start a part.
  static bool IsKeyframe(const uint8_t* data, uint32_t length);

 private:
  // Muxes one frame out of the interleaver into the open part, cutting first where it starts a part.
  void Write(const FrameInterleaver::Frame& frame);
  bool CutsPart(const FrameInterleaver::Frame& frame, bool keyframe) const;
  std::wstring PartPath(int32_t index) const;
  // Numbers the recording's parts after those in the folder when the first is opened, and again past any file
  // found at a part's name since.
  void OpenNextPart();
  // Closes the open part and reports it when its file exists and holds whole frames only.
  void FinishPart();

  const std::wstring output_folder_;
  const PartFinishedCallback on_part_finished_;

  // Held for the whole of MuxRaw and Finish: frames of all sessions enter the stream one at a time, and
  // the muxer's returned block is written out before the next frame is muxed.
  std::mutex mutex_;
  FrameInterleaver interleaver_;  // guarded by mutex_
  TsMuxer muxer_;            // guarded by mutex_
  ParameterSets parameter_sets_;  // guarded by mutex_
  PartFile part_file_;       // guarded by mutex_
  // The part index counts 4-second slots from the recording's start and decides the cuts; the file number is
  // the index plus first_number_, which keeps the names clear of files already in the folder.
  int32_t part_index_ = -1;  // guarded by mutex_; the newest part, -1 before the first
  std::optional<uint64_t> first_number_;  // guarded by mutex_; found when the first part opens
  bool in_part_ = false;     // guarded by mutex_; a part is under way (even if its file could not be opened)
  int64_t part_start_us_ = 0;  // guarded by mutex_; the time of the open part's first frame
  std::optional<int64_t> last_video_us_;  // guarded by mutex_; the latest video frame written, none before

  std::atomic<uint64_t> video_frame_count_{0};  // written under mutex_, read from any thread
  std::atomic<int64_t> first_video_frame_ns_{0};  // written once under mutex_, read from any thread
};

// When a video session asks its encoder for a keyframe, so that parts are cut by time at any frame rate: at the
// first frame past each part boundary, where the sink cuts when that frame is a keyframe. An encoder's own
// keyframes come every so many frames, which at a low frame rate (a slow capture, a busy machine) is many
// seconds and would stretch every part as much.
// Used by one thread.
class KeyframeSchedule {
 public:
  // Whether the frame at `time_us` on the recording's time line is to be a keyframe: once for each boundary
  // passed, and then not before the next one.
  bool Due(int64_t time_us);

 private:
  int64_t next_boundary_us_ = HLSSink::kTargetPartDurationUs;
};

}  // namespace VellRecorder
