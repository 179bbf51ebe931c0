#include "muxers/hlssink.h"

#include <algorithm>
#include <utility>

#include "utils/clock.h"
#include "utils/log.h"

namespace VellRecorder {
namespace {

constexpr wchar_t kFilePrefix[] = L"part-";
constexpr wchar_t kFileSuffix[] = L".ts";
// Files that appear at a part's name while recording, one after the other, before that part is given up.
constexpr int kMaxTakenNames = 8;
constexpr uint8_t kNalTypeDelimiter = 9;
constexpr uint8_t kNalTypeSps = 7;

// 90 kHz ticks, truncated toward zero, cut to 32 bits.
uint32_t ToPts(int64_t time_us) {
  const int64_t ticks = Rescale(time_us, 1000000, 90000);
  return static_cast<uint32_t>(static_cast<uint64_t>(ticks));
}

// Length of the start code at p (4 or 3), or 0. Looked for only while four bytes remain; a four-byte
// start code is recognised by its last three bytes.
uint32_t StartCodeLength(const uint8_t* data, uint32_t length, uint32_t p) {
  if (length - p < 4) return 0;
  if (data[p + 1] == 0 && data[p + 2] == 0 && data[p + 3] == 1) return 4;
  if (data[p] == 0 && data[p + 1] == 0 && data[p + 2] == 1) return 3;
  return 0;
}

// NAL unit type after the start code at p; -1 without a start code or when the frame ends first.
int NalTypeAt(const uint8_t* data, uint32_t length, uint32_t p) {
  const uint32_t code = StartCodeLength(data, length, p);
  if (code == 0 || p + code >= length) return -1;
  return data[p + code] & 0x1F;
}

// How many part boundaries lie strictly before `time_us`: a time on a boundary is not past it.
int64_t BoundariesPassed(int64_t time_us) {
  return time_us > 0 ? (time_us - 1) / HLSSink::kTargetPartDurationUs : 0;
}

}  // namespace

HLSSink::HLSSink(std::wstring output_folder, PartFinishedCallback on_part_finished)
    : output_folder_(std::move(output_folder)), on_part_finished_(std::move(on_part_finished)) {}

HLSSink::~HLSSink() { Finish(); }

std::string HLSSink::PrepareOutputFolder() const { return VellRecorder::PrepareOutputFolder(output_folder_); }

bool HLSSink::IsKeyframe(const uint8_t* data, uint32_t length) {
  if (length <= 3) return false;
  if (NalTypeAt(data, length, 0) != kNalTypeDelimiter) return NalTypeAt(data, length, 0) == kNalTypeSps;
  for (uint32_t p = StartCodeLength(data, length, 0); length - p >= 4; ++p) {
    if (StartCodeLength(data, length, p) != 0) return NalTypeAt(data, length, p) == kNalTypeSps;
  }
  return false;
}

void HLSSink::MuxRaw(const uint8_t* data, uint32_t length, int64_t time_us, StreamKind kind) {
  if (kind != StreamKind::kVideo && kind != StreamKind::kAudio) {
    LOG_ERROR << "Unsupported codec";
    return;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  interleaver_.Push(data, length, time_us, kind);
  FrameInterleaver::Frame frame;
  while (interleaver_.Next(&frame)) Write(frame);
}

void HLSSink::Write(const FrameInterleaver::Frame& frame) {
  const uint8_t* data = frame.bytes.data();
  uint32_t length = static_cast<uint32_t>(frame.bytes.size());
  const uint32_t pts = ToPts(frame.time_us);
  const uint8_t* block = nullptr;
  uint32_t block_length = 0;
  bool keyframe = false;
  if (frame.kind == StreamKind::kVideo) {
    if (const std::vector<uint8_t>* completed = parameter_sets_.Complete(data, length)) {
      data = completed->data();
      length = static_cast<uint32_t>(completed->size());
    }
    keyframe = IsKeyframe(data, length);
    last_video_us_ = frame.time_us;
    block = muxer_.MuxVideoFrame(data, length, pts, &block_length);
  } else {
    block = muxer_.MuxAudioFrame(data, length, pts, &block_length);
  }
  if (block_length == 0) return;  // refused by the muxer, which said why

  if (!in_part_) {
    OpenNextPart();
    part_start_us_ = frame.time_us;
  }
  if (CutsPart(frame, keyframe)) {
    FinishPart();
    OpenNextPart();
    part_start_us_ = frame.time_us;
  }
  // After a failed write the part takes nothing more: the frames up to the next cut are lost, and the
  // next part is tried afresh.
  if (part_file_.Write(block, block_length) && frame.kind == StreamKind::kVideo &&
      video_frame_count_.fetch_add(1, std::memory_order_relaxed) == 0) {
    first_video_frame_ns_.store(MonotonicNowNs(), std::memory_order_relaxed);
  }
}

bool HLSSink::CutsPart(const FrameInterleaver::Frame& frame, bool keyframe) const {
  const bool past_boundary = (int64_t{part_index_} + 1) * kTargetPartDurationUs < frame.time_us;
  if (frame.kind == StreamKind::kVideo) return keyframe && past_boundary;
  // Sound cuts only once the picture has stopped: a recording that never had one stays one part, as its host
  // expects, and one whose picture comes back is cut at its keyframes again from its first frame. The cuts keep
  // to the 4-second grid: one in each slot of the time line, at its first sound.
  return past_boundary && last_video_us_ && frame.time_us - *last_video_us_ > kVideoLostAfterUs &&
         BoundariesPassed(frame.time_us) > BoundariesPassed(part_start_us_);
}

void HLSSink::SetSequenceHeader(const uint8_t* data, size_t length) {
  std::lock_guard<std::mutex> lock(mutex_);
  parameter_sets_.SetSequenceHeader(data, length);
}

bool HLSSink::KnowsParameterSets() {
  std::lock_guard<std::mutex> lock(mutex_);
  return parameter_sets_.Known();
}

void HLSSink::Finish() {
  std::lock_guard<std::mutex> lock(mutex_);
  FrameInterleaver::Frame frame;
  while (interleaver_.Drain(&frame)) Write(frame);
  // What follows is a recording of its own: its streams are waited for once they have delivered.
  interleaver_.Reset();
  last_video_us_.reset();
  if (!in_part_) return;
  FinishPart();
  in_part_ = false;
}

std::wstring HLSSink::PartPath(int32_t index) const {
  const uint64_t number = first_number_.value_or(0) + static_cast<uint32_t>(index);
  return JoinPath(output_folder_, kFilePrefix + std::to_wstring(number) + kFileSuffix);
}

void HLSSink::OpenNextPart() {
  ++part_index_;
  in_part_ = true;
  // Read at the first part rather than at construction: a recording that this one replaces reports its last
  // part only once it is destroyed, after this sink was built.
  if (!first_number_) first_number_ = NumberAfterExisting(output_folder_, kFilePrefix, kFileSuffix);
  for (int attempt = 1;; ++attempt) {
    // A part that cannot be opened is logged by PartFile; its frames are dropped until the next cut.
    if (part_file_.Open(output_folder_, PartPath(part_index_), PartFile::Existing::kKeep) || !part_file_.Taken()) {
      return;
    }
    if (attempt == kMaxTakenNames) {
      LOG_ERROR << "Cannot open part file " << PartPath(part_index_) << ": " << attempt
                << " names in a row were taken by other files meanwhile";
      return;
    }
    // Another program writes parts into this folder: number after its files too.
    const uint64_t after = NumberAfterExisting(output_folder_, kFilePrefix, kFileSuffix);
    const uint64_t index = static_cast<uint32_t>(part_index_);
    first_number_ = std::max(*first_number_ + 1, after > index ? after - index : 0);
    LOG_WARNING << "A file appeared at a part's name; the recording's parts are numbered from " << *first_number_;
  }
}

void HLSSink::FinishPart() {
  // A part whose file was never created, or that a failed write left empty, is not reported: the host
  // application would look for a file that is not there. Its index is skipped.
  if (part_file_.Close() && on_part_finished_) on_part_finished_(PartPath(part_index_));
}

bool KeyframeSchedule::Due(int64_t time_us) {
  if (time_us <= next_boundary_us_) return false;
  // After a gap the next boundary is the one after this frame, not every one the gap passed.
  next_boundary_us_ = (time_us / HLSSink::kTargetPartDurationUs + 1) * HLSSink::kTargetPartDurationUs;
  return true;
}

}  // namespace VellRecorder
