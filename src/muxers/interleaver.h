// Puts the frames of a recording's two streams back in time order before they are muxed. The sessions deliver
// from their own threads, each at its own pace: the audio session hands over AAC frames in bursts, ahead of or
// behind the picture by a few hundred milliseconds. Written in arrival order, a part would then hold sound of
// the part before or after it. Held here, each frame goes out once the other stream has caught up with it, so
// that a part cut at a keyframe holds exactly the sound of its picture's time span.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace VellRecorder {

enum class StreamKind : int { kVideo = 0, kAudio = 1 };

// Not thread-safe: the sink uses it under its mutex.
class FrameInterleaver {
 public:
  // How far the newest frame may be past the oldest held one, on the time line, while the other stream has
  // nothing held: past that the other stream is taken to have stopped (a camera lost, a device gone) and the
  // frames go out without it, so a stream that stops cannot hold the other forever. Larger than the bursts of
  // a busy machine, small enough that parts are still reported within seconds.
  static constexpr int64_t kWindowUs = 2000000;
  // Bounds the memory whatever the times say (a time line that jumps back never widens the window).
  static constexpr size_t kMaxHeldBytes = 64u << 20;

  struct Frame {
    std::vector<uint8_t> bytes;
    int64_t time_us = 0;
    StreamKind kind = StreamKind::kVideo;
  };

  // Holds a copy of the frame. Frames of one stream keep their order; a kind other than video or audio is
  // the caller's to refuse.
  void Push(const uint8_t* data, uint32_t length, int64_t time_us, StreamKind kind);
  // Moves the next frame that may be written now into `frame`: the earlier of the two streams' oldest frames
  // (the picture first at equal times, so that sound at a keyframe's time goes into the part it starts).
  // False while the held frames wait for the other stream.
  bool Next(Frame* frame);
  // Moves the earliest held frame into `frame`, whether or not the other stream caught up: the end of the
  // recording. False when nothing is held.
  bool Drain(Frame* frame);
  // Forgets which streams were seen, for a recording that starts afresh; nothing may be held.
  void Reset();

  size_t HeldFrames() const { return queues_[0].size() + queues_[1].size(); }

 private:
  static size_t Index(StreamKind kind) { return kind == StreamKind::kVideo ? 0 : 1; }
  void Pop(size_t stream, Frame* frame);

  std::deque<Frame> queues_[2];  // per stream, in arrival order
  // A stream that has not delivered yet holds nothing back: a recording may have one stream only, and a
  // stream that starts late only shifts the first part's start.
  bool seen_[2] = {false, false};
  int64_t newest_us_ = 0;  // the latest time pushed, either stream
  size_t held_bytes_ = 0;
};

}  // namespace VellRecorder
