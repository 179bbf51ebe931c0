#include "ipcmessageparser.h"

#include "exception.h"
#include "utils/log.h"

namespace VellRecorder {

std::array<char, 4> FrameHeader(uint32_t length) {
  return {static_cast<char>(length), static_cast<char>(length >> 8), static_cast<char>(length >> 16),
          static_cast<char>(length >> 24)};
}

std::string EncodeFrame(std::string_view payload) {
  const auto header = FrameHeader(static_cast<uint32_t>(payload.size()));
  std::string frame(header.begin(), header.end());
  frame.append(payload);
  return frame;
}

uint32_t IPCMessageParser::NextMessageLength() const {
  const auto* p = reinterpret_cast<const unsigned char*>(data_ + offset_);
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

bool IPCMessageParser::HasCompleteMessage() const {
  return HasNextMessage() && NextMessageLength() <= size_ - offset_ - kHeaderSize;
}

std::string IPCMessageParser::NextMessage() {
  if (!HasNextMessage()) return {};
  if (!HasCompleteMessage()) VELL_THROW("reported payload size is greater than message size");
  const uint32_t length = NextMessageLength();
  offset_ += kHeaderSize;
  std::string payload(data_ + offset_, length);
  offset_ += length;
  return payload;
}

std::vector<std::string> FrameReader::Append(const char* data, size_t size) {
  // Without a partial frame before this read, any bytes left over start one now.
  const bool continues_frame = !pending_.empty();
  pending_.append(data, size);
  std::vector<std::string> frames;
  IPCMessageParser parser(pending_.data(), static_cast<uint32_t>(pending_.size()));
  while (parser.HasNextMessage()) {
    const uint32_t length = parser.NextMessageLength();
    if (length > kMaxFrameLength) {
      // Nothing after a corrupt length can be trusted to be a frame boundary: start over.
      LOG_ERROR << "Dropping " << pending_.size() - parser.Offset() << " bytes: frame length " << length
                << " exceeds the limit of " << kMaxFrameLength;
      pending_.clear();
      pending_frame_logged_ = false;
      return frames;
    }
    if (!parser.HasCompleteMessage()) break;
    std::string payload = parser.NextMessage();
    pending_frame_logged_ = false;
    if (payload.empty()) {
      LOG_ERROR << "Ignoring zero-length message";
      continue;
    }
    frames.push_back(std::move(payload));
  }
  // Bytes left after a completed frame belong to a new one, which starts with this read.
  if (!continues_frame || parser.Offset() > 0) frame_start_ns_ = now_();
  pending_.erase(0, static_cast<size_t>(parser.Offset()));
  NoteLongFrame();
  return frames;
}

void FrameReader::NoteLongFrame() {
  if (pending_frame_logged_ || pending_.size() < IPCMessageParser::kHeaderSize) return;
  const uint32_t length = IPCMessageParser(pending_.data(), IPCMessageParser::kHeaderSize).NextMessageLength();
  if (length <= kLongFrameLength) return;
  // A length field that does not match what the host sends holds the channel until the frame is dropped:
  // this record says why the channel went quiet.
  LOG_WARNING << "Receiving a frame of " << length << " bytes over several reads; "
              << pending_.size() - IPCMessageParser::kHeaderSize << " received";
  pending_frame_logged_ = true;
}

bool FrameReader::DropStalled(bool reader_behind) {
  if (pending_.empty()) return false;
  if (reader_behind) frame_start_ns_ = now_();
  if (now_() - frame_start_ns_ < kStallTimeoutNs) return false;
  if (pending_.size() < IPCMessageParser::kHeaderSize) {
    LOG_ERROR << "Dropping " << pending_.size() << " bytes of an incomplete length field: not complete "
              << kStallTimeoutNs / 1'000'000 << " ms after its first byte";
  } else {
    const uint32_t length = IPCMessageParser(pending_.data(), IPCMessageParser::kHeaderSize).NextMessageLength();
    LOG_ERROR << "Dropping an incomplete frame of " << length << " bytes after "
              << pending_.size() - IPCMessageParser::kHeaderSize << ": not complete "
              << kStallTimeoutNs / 1'000'000 << " ms after its first byte";
  }
  pending_.clear();
  pending_frame_logged_ = false;
  return true;
}

}  // namespace VellRecorder
