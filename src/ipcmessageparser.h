// Frames on the control channel: a 4-byte little-endian length, then that many bytes of UTF-8 JSON.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "utils/clock.h"

namespace VellRecorder {

// The length field that precedes a payload of `length` bytes.
std::array<char, 4> FrameHeader(uint32_t length);
// One whole frame: the length field, then the payload.
std::string EncodeFrame(std::string_view payload);

// Walks the frames of one contiguous block of bytes. Lives for one read.
class IPCMessageParser {
 public:
  static constexpr uint8_t kHeaderSize = 4;

  IPCMessageParser(const char* data, uint32_t size) : data_(data), size_(size) {}

  // At least a length field remains.
  bool HasNextMessage() const { return size_ - offset_ >= kHeaderSize; }
  // The length field and all the bytes it announces remain.
  bool HasCompleteMessage() const;
  // The length announced by the next frame; only valid when HasNextMessage().
  uint32_t NextMessageLength() const;
  // The next frame's payload. Throws Exception when the frame is not complete.
  std::string NextMessage();
  uint64_t Offset() const { return offset_; }

 private:
  const char* data_;
  uint32_t size_;
  uint64_t offset_ = 0;
};

// Reassembles frames from reads of any size: bytes of a frame that is not complete yet are kept for the
// next read, so a frame split across reads, or longer than one read, arrives whole. A frame still incomplete
// kStallTimeoutNs after its first byte is dropped (DropStalled), so that a wrong length field cannot keep every
// later message from being read: counted from the first byte, not the last, because the host's later messages
// are read as the stalled frame's bytes, and a host that keeps writing would otherwise keep it alive.
// Not thread-safe: one reader per stream.
class FrameReader {
 public:
  // A frame announcing more than this is taken as a corrupt stream rather than waited for.
  static constexpr uint32_t kMaxFrameLength = 64u * 1024 * 1024;
  // A frame longer than this cannot come in one read of the daemon: its start is logged.
  static constexpr uint32_t kLongFrameLength = 5120;
  static constexpr int64_t kStallTimeoutNs = 2'000'000'000;
  using NowNs = std::function<int64_t()>;

  // now: the monotonic clock in nanoseconds.
  explicit FrameReader(NowNs now = &MonotonicNowNs) : now_(std::move(now)) {}

  // Returns the payloads of every frame completed by these bytes, in order. Zero-length frames are
  // logged and left out.
  std::vector<std::string> Append(const char* data, size_t size);
  // Drops a partial frame whose first byte came kStallTimeoutNs ago or more, with an error record.
  // Returns true when it dropped one. Call it on every poll, also when nothing was read. `reader_behind`: the
  // poll stopped reading while bytes may still wait in the pipe; a long frame written whole then arrives only as
  // fast as the daemon reads, so its time starts again instead.
  bool DropStalled(bool reader_behind = false);
  size_t PendingBytes() const { return pending_.size(); }

 private:
  void NoteLongFrame();

  NowNs now_;
  std::string pending_;
  // When the read that brought the partial frame's first byte came, or the last poll that left bytes unread.
  int64_t frame_start_ns_ = 0;
  bool pending_frame_logged_ = false;  // the start of the partial frame in pending_ has been logged
};

}  // namespace VellRecorder
