// MPEG-2 transport stream packetiser for one program with H.264 video and AAC (ADTS) audio.
// Each call turns one encoded frame into a self-contained block of 188-byte packets: a PAT, a PMT, then
// the frame's PES packet. No PCR and no DTS are written; timing rests on each PES packet's PTS.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace VellRecorder {

class TsMuxer {
 public:
  static constexpr uint32_t kPacketSize = 188;
  // Largest block one call may return (1920 x 1080 x 32 bytes); larger frames are refused.
  static constexpr uint32_t kMaxBufferLength = 1920 * 1080 * 32;
  static constexpr uint16_t kPatPid = 0x0000;
  static constexpr uint16_t kPmtPid = 0x1000;
  static constexpr uint16_t kVideoPid = 0x0100;
  static constexpr uint16_t kAudioPid = 0x0101;

  TsMuxer();
  TsMuxer(const TsMuxer&) = delete;
  TsMuxer& operator=(const TsMuxer&) = delete;

  // `frame` is one H.264 access unit in Annex B form; `pts` in 90 kHz ticks. Returns the block and sets
  // `out_length` (a multiple of 188). The block stays valid until the next call on this muxer.
  // A frame whose block would exceed kMaxBufferLength is refused: out_length 0, an error record, and no
  // counter moves.
  const uint8_t* MuxVideoFrame(const uint8_t* frame, uint32_t length, uint32_t pts, uint32_t* out_length);
  // `frame` is one AAC frame with its 7-byte ADTS header. Same contract as MuxVideoFrame.
  const uint8_t* MuxAudioFrame(const uint8_t* frame, uint32_t length, uint32_t pts, uint32_t* out_length);

 private:
  // Index into streams_.
  enum StreamKey : int { kAudioKey = 0, kVideoKey = 1 };

  struct TsStream {
    uint16_t pid;
    uint8_t stream_id;        // PES stream_id
    uint32_t pes_header_len;  // bytes of PES header written at the start of each frame
    uint32_t continuity_counter;
  };

  const uint8_t* MuxFrame(TsStream& stream, const uint8_t* frame, uint32_t length, uint32_t pts,
                          uint32_t* out_length);
  // Frame bytes that go into the first packet of the frame.
  static uint32_t FirstPacketPayload(const TsStream& stream, uint32_t length, bool add_delimiter);
  void WriteTables();
  static uint8_t* WritePacketHeader(uint8_t* out, TsStream& stream, bool unit_start, uint32_t stuffing);
  static uint8_t* WritePesHeader(uint8_t* out, const TsStream& stream, uint32_t length, uint32_t pts);

  // Output of the current call; grown when a larger block comes, never shrunk, so the steady state
  // allocates nothing.
  std::vector<uint8_t> buffer_;
  // PMT packet prefix (header, pointer field, section with CRC); only byte 3 changes per call.
  std::array<uint8_t, 31> pmt_prefix_;
  std::array<TsStream, 2> streams_;
  uint32_t pat_continuity_counter_ = 0;
  uint32_t pmt_continuity_counter_ = 0;
};

// CRC-32/MPEG-2 (polynomial 0x04C11DB7, initial value 0xFFFFFFFF, MSB first, no final XOR) used by
// PSI sections.
uint32_t Crc32Mpeg2(const uint8_t* data, size_t length);

}  // namespace VellRecorder
