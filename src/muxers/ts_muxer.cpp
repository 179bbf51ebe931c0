#include "muxers/ts_muxer.h"

#include <algorithm>
#include <cstring>

#include "utils/log.h"

namespace VellRecorder {
namespace {

constexpr uint32_t kHeaderLength = 4;
constexpr uint32_t kMaxPayload = TsMuxer::kPacketSize - kHeaderLength;  // 184
constexpr uint32_t kTablesLength = 2 * TsMuxer::kPacketSize;             // PAT + PMT
constexpr uint32_t kAudioPesHeaderLength = 14;
// The audio header's 14 bytes plus five stuffing bytes inside the header (header_data_length 10 instead of
// 5). They keep every video packet's size and place; written as zero bytes after the header instead, they
// reached the elementary stream, where stream copies into other containers refused them as a malformed
// start.
constexpr uint32_t kVideoPesHeaderLength = 19;
constexpr uint8_t kStreamTypeH264 = 0x1B;
constexpr uint8_t kStreamTypeAacAdts = 0x0F;
constexpr uint8_t kAccessUnitDelimiter[] = {0x00, 0x00, 0x00, 0x01, 0x09, 0xF0};
constexpr uint32_t kDelimiterLength = sizeof(kAccessUnitDelimiter);
constexpr uint8_t kNalTypeDelimiter = 9;

// PAT section: table 0, section_length 13, transport_stream_id 1, version 0, current, section 0 of 0,
// program 1 -> PMT PID 0x1000. The CRC is appended at construction.
constexpr uint8_t kPatSection[] = {0x00, 0xB0, 0x0D, 0x00, 0x01, 0xC1, 0x00, 0x00,
                                   0x00, 0x01, 0xE0 | (TsMuxer::kPmtPid >> 8), TsMuxer::kPmtPid & 0xFF};

// Whether an H.264 access unit already begins with an access unit delimiter. A start code of four
// bytes is recognised by its last three only, as the encoders write either form.
bool StartsWithDelimiter(const uint8_t* frame, uint32_t length) {
  uint32_t offset = 0;
  if (frame[1] == 0 && frame[2] == 0 && frame[3] == 1) {
    offset = 4;
  } else if (frame[0] == 0 && frame[1] == 0 && frame[2] == 1) {
    offset = 3;
  }
  // A four-byte frame that is only a start code has no NAL type to look at.
  return offset < length && (frame[offset] & 0x1F) == kNalTypeDelimiter;
}

uint8_t* PutCrc(uint8_t* out, const uint8_t* section, size_t length) {
  const uint32_t crc = Crc32Mpeg2(section, length);
  out[0] = static_cast<uint8_t>(crc >> 24);
  out[1] = static_cast<uint8_t>(crc >> 16);
  out[2] = static_cast<uint8_t>(crc >> 8);
  out[3] = static_cast<uint8_t>(crc);
  return out + 4;
}

}  // namespace

uint32_t Crc32Mpeg2(const uint8_t* data, size_t length) {
  uint32_t crc = 0xFFFFFFFF;
  for (size_t i = 0; i < length; ++i) {
    crc ^= static_cast<uint32_t>(data[i]) << 24;
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x80000000) ? (crc << 1) ^ 0x04C11DB7 : crc << 1;
    }
  }
  return crc;
}

TsMuxer::TsMuxer() {
  streams_[kAudioKey] = TsStream{kAudioPid, 0xC0, kAudioPesHeaderLength, 0};
  streams_[kVideoKey] = TsStream{kVideoPid, 0xE0, kVideoPesHeaderLength, 0};

  // PMT: program 1, PCR_PID = video PID (no packet carries a PCR), no program descriptors, then one
  // entry per stream. The section_length covers everything after its own field, CRC included.
  uint8_t* p = pmt_prefix_.data();
  *p++ = 0x47;
  *p++ = 0x40 | (kPmtPid >> 8);
  *p++ = kPmtPid & 0xFF;
  *p++ = 0x10;
  *p++ = 0x00;  // pointer field
  uint8_t* section = p;
  const uint8_t head[] = {0x02, 0xB0, 0x00, 0x00, 0x01, 0xC1, 0x00, 0x00,
                          0xE0 | (kVideoPid >> 8), kVideoPid & 0xFF, 0xF0, 0x00};
  p = std::copy(std::begin(head), std::end(head), p);
  for (const auto& [type, pid] : {std::pair<uint8_t, uint16_t>{kStreamTypeH264, kVideoPid},
                                  std::pair<uint8_t, uint16_t>{kStreamTypeAacAdts, kAudioPid}}) {
    const uint8_t entry[] = {type, static_cast<uint8_t>(0xE0 | (pid >> 8)), static_cast<uint8_t>(pid & 0xFF),
                             0xF0, 0x00};
    p = std::copy(std::begin(entry), std::end(entry), p);
  }
  const auto section_length = static_cast<uint32_t>(p - (section + 3)) + 4;
  section[1] = static_cast<uint8_t>(0xB0 | ((section_length >> 8) & 0x0F));
  section[2] = static_cast<uint8_t>(section_length & 0xFF);
  PutCrc(p, section, static_cast<size_t>(p - section));
}

const uint8_t* TsMuxer::MuxVideoFrame(const uint8_t* frame, uint32_t length, uint32_t pts, uint32_t* out_length) {
  return MuxFrame(streams_[kVideoKey], frame, length, pts, out_length);
}

const uint8_t* TsMuxer::MuxAudioFrame(const uint8_t* frame, uint32_t length, uint32_t pts, uint32_t* out_length) {
  return MuxFrame(streams_[kAudioKey], frame, length, pts, out_length);
}

uint32_t TsMuxer::FirstPacketPayload(const TsStream& stream, uint32_t length, bool add_delimiter) {
  const uint32_t room = kMaxPayload - stream.pes_header_len;  // 170 audio, 165 video
  if (!add_delimiter) return std::min(length, room);
  // The stuffing of a short frame's first packet is sized without the delimiter, which pushes the
  // frame's last six bytes into a second packet. A frame of six bytes or fewer would have none left
  // for the first packet (or not even room for itself), so its delimiter is counted in the stuffing.
  if (length <= kDelimiterLength) return length;
  if (length < room) return length - kDelimiterLength;
  return room - kDelimiterLength;
}

const uint8_t* TsMuxer::MuxFrame(TsStream& stream, const uint8_t* frame, uint32_t length, uint32_t pts,
                                 uint32_t* out_length) {
  const bool add_delimiter = stream.pid == kVideoPid && length >= 4 && !StartsWithDelimiter(frame, length);
  const uint32_t first_payload = FirstPacketPayload(stream, length, add_delimiter);
  uint64_t block_length = kTablesLength;
  if (length > 0) {
    const uint64_t later_packets = (uint64_t{length} - first_payload + kMaxPayload - 1) / kMaxPayload;
    block_length += kPacketSize * (1 + later_packets);
  }
  if (block_length > kMaxBufferLength) {
    LOG_ERROR << "Frame of " << length << " bytes does not fit the transport stream buffer; dropped";
    *out_length = 0;
    return buffer_.data();
  }
  if (buffer_.size() < block_length) buffer_.resize(block_length);

  WriteTables();
  uint8_t* out = buffer_.data() + kTablesLength;
  const uint8_t* cursor = frame;
  uint32_t remaining = length;
  bool first = true;
  while (remaining > 0) {
    const uint32_t prefix = first ? stream.pes_header_len + (add_delimiter ? kDelimiterLength : 0) : 0;
    const uint32_t payload = first ? first_payload : std::min(remaining, kMaxPayload);
    out = WritePacketHeader(out, stream, first, kMaxPayload - prefix - payload);
    if (first) {
      out = WritePesHeader(out, stream, length, pts);
      if (add_delimiter) out = std::copy(std::begin(kAccessUnitDelimiter), std::end(kAccessUnitDelimiter), out);
    }
    std::memcpy(out, cursor, payload);
    out += payload;
    cursor += payload;
    remaining -= payload;
    first = false;
  }
  *out_length = static_cast<uint32_t>(block_length);
  return buffer_.data();
}

void TsMuxer::WriteTables() {
  uint8_t* pat = buffer_.data();
  pat[0] = 0x47;
  pat[1] = 0x40 | (kPatPid >> 8);
  pat[2] = kPatPid & 0xFF;
  pat[3] = static_cast<uint8_t>(0x10 | pat_continuity_counter_);
  pat[4] = 0x00;  // pointer field
  std::memcpy(pat + 5, kPatSection, sizeof(kPatSection));
  uint8_t* end = PutCrc(pat + 5 + sizeof(kPatSection), kPatSection, sizeof(kPatSection));
  std::memset(end, 0xFF, static_cast<size_t>(pat + kPacketSize - end));
  pat_continuity_counter_ = (pat_continuity_counter_ + 1) & 0x0F;

  uint8_t* pmt = pat + kPacketSize;
  std::memcpy(pmt, pmt_prefix_.data(), pmt_prefix_.size());
  pmt[3] = static_cast<uint8_t>(0x10 | pmt_continuity_counter_);
  std::memset(pmt + pmt_prefix_.size(), 0xFF, kPacketSize - pmt_prefix_.size());
  pmt_continuity_counter_ = (pmt_continuity_counter_ + 1) & 0x0F;
}

uint8_t* TsMuxer::WritePacketHeader(uint8_t* out, TsStream& stream, bool unit_start, uint32_t stuffing) {
  out[0] = 0x47;
  out[1] = static_cast<uint8_t>((unit_start ? 0x40 : 0x00) | ((stream.pid >> 8) & 0x1F));
  out[2] = static_cast<uint8_t>(stream.pid & 0xFF);
  out[3] = static_cast<uint8_t>((stuffing > 0 ? 0x30 : 0x10) | stream.continuity_counter);
  stream.continuity_counter = (stream.continuity_counter + 1) & 0x0F;
  out += kHeaderLength;
  if (stuffing == 0) return out;
  // Stuffing-only adaptation field: no PCR, no random-access or discontinuity mark.
  out[0] = static_cast<uint8_t>(stuffing - 1);
  if (stuffing >= 2) {
    out[1] = 0x00;
    std::memset(out + 2, 0xFF, stuffing - 2);
  }
  return out + stuffing;
}

uint8_t* TsMuxer::WritePesHeader(uint8_t* out, const TsStream& stream, uint32_t length, uint32_t pts) {
  out[0] = 0x00;
  out[1] = 0x00;
  out[2] = 0x01;
  out[3] = stream.stream_id;
  // Video PES packets are unbounded (length 0), as transport streams allow for video only. An audio
  // length that does not fit 16 bits (no ADTS frame is that long) is written as unbounded too rather
  // than wrapped.
  const uint32_t pes_length = stream.pid == kVideoPid || length > 0xFFFF - 8 ? 0 : length + 8;
  out[4] = static_cast<uint8_t>(pes_length >> 8);
  out[5] = static_cast<uint8_t>(pes_length);
  out[6] = 0x80;
  out[7] = 0x80;  // PTS only
  out[8] = static_cast<uint8_t>(stream.pes_header_len - 9);  // PES_header_data_length: PTS and stuffing
  out[9] = static_cast<uint8_t>(0x21 | ((pts >> 29) & 0x0E));
  const uint32_t middle = (((pts >> 15) & 0x7FFF) << 1) | 1;
  const uint32_t low = ((pts & 0x7FFF) << 1) | 1;
  out[10] = static_cast<uint8_t>(middle >> 8);
  out[11] = static_cast<uint8_t>(middle);
  out[12] = static_cast<uint8_t>(low >> 8);
  out[13] = static_cast<uint8_t>(low);
  std::memset(out + kAudioPesHeaderLength, 0xFF, stream.pes_header_len - kAudioPesHeaderLength);
  return out + stream.pes_header_len;
}

}  // namespace VellRecorder
