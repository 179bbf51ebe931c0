#include "muxers/ts_muxer.h"

#include <atomic>
#include <gtest/gtest.h>

#include "muxers/test_util.h"
#include "muxers/ts_reader.h"
#include "testing/logcapture.h"

// Counted by the replacement operator new of alloc_counter.cpp.
extern std::atomic<long> g_allocations;

namespace VellRecorder {
namespace {

using Testing::Bytes;
using Testing::Concat;
using Testing::ParsePackets;
using Testing::ReassemblePes;

enum class Kind { kVideo, kAudio };

Bytes Mux(TsMuxer& muxer, Kind kind, const Bytes& frame, uint32_t pts = 0) {
  uint32_t length = 0;
  const uint8_t* block = kind == Kind::kVideo
                             ? muxer.MuxVideoFrame(frame.data(), static_cast<uint32_t>(frame.size()), pts, &length)
                             : muxer.MuxAudioFrame(frame.data(), static_cast<uint32_t>(frame.size()), pts, &length);
  return Bytes(block, block + length);
}

// A frame of n bytes whose content does not look like a start code or a delimiter.
Bytes Pattern(size_t n, uint8_t seed = 1) {
  Bytes frame(n);
  for (size_t i = 0; i < n; ++i) frame[i] = static_cast<uint8_t>(0x40 + (i * 7 + seed) % 64);
  return frame;
}

Bytes Packet(const Bytes& block, size_t index) {
  return Bytes(block.begin() + static_cast<long>(188 * index), block.begin() + static_cast<long>(188 * (index + 1)));
}

const Bytes kPat = {0x47, 0x40, 0x00, 0x10, 0x00, 0x00, 0xB0, 0x0D, 0x00, 0x01, 0xC1,
                    0x00, 0x00, 0x00, 0x01, 0xF0, 0x00, 0x2A, 0xB1, 0x04, 0xB2};
const Bytes kPmt = {0x47, 0x50, 0x00, 0x10, 0x00, 0x02, 0xB0, 0x17, 0x00, 0x01, 0xC1, 0x00, 0x00, 0xE1, 0x00, 0xF0,
                    0x00, 0x1B, 0xE1, 0x00, 0xF0, 0x00, 0x0F, 0xE1, 0x01, 0xF0, 0x00, 0x2F, 0x44, 0xB9, 0x9B};
const Bytes kDelimiter = {0x00, 0x00, 0x00, 0x01, 0x09, 0xF0};

// PAT or PMT packet as the call with the given number writes it: only the continuity counter changes.
Bytes Table(const Bytes& section_packet, int call) {
  Bytes packet = section_packet;
  packet.resize(188, 0xFF);
  packet[3] = static_cast<uint8_t>(0x10 | (call & 0x0F));
  return packet;
}

// One muxer for a whole table of cases, as in a recording: each call's tables and packet headers follow from
// the calls before it, and its buffer still holds the previous call's bytes. A muxer that forgets a counter,
// or leaves old bytes where padding belongs, fails here where a fresh muxer per case would pass.
class MuxerRun {
 public:
  // Muxes one frame and checks the tables byte for byte and the frame's packets' PIDs and counters.
  Bytes Mux(Kind kind, const Bytes& frame, uint32_t pts = 0) {
    const Bytes block = VellRecorder::Mux(muxer_, kind, frame, pts);
    if (block.empty()) return block;
    EXPECT_EQ(Packet(block, 0), Table(kPat, calls_)) << "call " << calls_;
    EXPECT_EQ(Packet(block, 1), Table(kPmt, calls_)) << "call " << calls_;
    const uint16_t pid = kind == Kind::kVideo ? TsMuxer::kVideoPid : TsMuxer::kAudioPid;
    for (size_t i = 2; i < block.size() / 188; ++i) {
      EXPECT_EQ(((block[188 * i + 1] & 0x1F) << 8) | block[188 * i + 2], pid) << "call " << calls_;
      EXPECT_EQ(block[188 * i + 3] & 0x0F, counters_[static_cast<int>(kind)]) << "call " << calls_ << " packet " << i;
      counters_[static_cast<int>(kind)] = (counters_[static_cast<int>(kind)] + 1) & 0x0F;
    }
    ++calls_;
    return block;
  }
  // The continuity counter the next packet of `kind` must carry.
  uint8_t NextCounter(Kind kind) const { return static_cast<uint8_t>(counters_[static_cast<int>(kind)]); }

 private:
  TsMuxer muxer_;
  int calls_ = 0;
  int counters_[2] = {0, 0};
};

TEST(TsMuxerTest, EmptyFrameGivesExactPatAndPmtPackets) {
  MuxerRun run;
  const Bytes block = run.Mux(Kind::kVideo, {});
  ASSERT_EQ(block.size(), 376u);
  // Later calls of both kinds, one growing the buffer, one empty again: the tables stay exact through a
  // counter wrap.
  for (int call = 1; call < 20; ++call) {
    const Kind kind = call % 2 ? Kind::kAudio : Kind::kVideo;
    const Bytes frame = call == 5 ? Pattern(150000) : call == 12 ? Bytes{} : Pattern(call * 50);
    const Bytes later = run.Mux(kind, frame);
    ASSERT_GE(later.size(), 376u) << call;
  }
}

TEST(TsMuxerTest, SectionCrcIsMpeg2Crc) {
  // Known check value of CRC-32/MPEG-2, and the property that a section followed by its CRC sums to 0.
  const std::string check = "123456789";
  EXPECT_EQ(Crc32Mpeg2(reinterpret_cast<const uint8_t*>(check.data()), check.size()), 0x0376E6E7u);
  EXPECT_EQ(Crc32Mpeg2(kPat.data() + 5, kPat.size() - 5), 0u);
  EXPECT_EQ(Crc32Mpeg2(kPmt.data() + 5, kPmt.size() - 5), 0u);
}

TEST(TsMuxerTest, AudioFirstPacketStuffingAroundItsCapacity) {
  const Bytes pes_head = {0x00, 0x00, 0x01, 0xC0};
  struct Case { size_t size; size_t packets; Bytes adaptation; };
  MuxerRun run;
  run.Mux(Kind::kAudio, Pattern(5000));  // leaves frame bytes in the buffer where stuffing goes next
  for (const Case& c : {Case{170, 1, {}}, Case{169, 1, {0x00}}, Case{168, 1, {0x01, 0x00}}, Case{171, 2, {}}}) {
    SCOPED_TRACE(c.size);
    const uint8_t counter = run.NextCounter(Kind::kAudio);
    const Bytes frame = Pattern(c.size);
    const Bytes block = run.Mux(Kind::kAudio, frame, 0);
    ASSERT_EQ(block.size(), 376 + 188 * c.packets);
    const Bytes first = Packet(block, 2);
    EXPECT_EQ(Bytes(first.begin(), first.begin() + 4),
              (Bytes{0x47, 0x41, 0x01, static_cast<uint8_t>((c.adaptation.empty() ? 0x10 : 0x30) | counter)}));
    EXPECT_EQ(Bytes(first.begin() + 4, first.begin() + 4 + static_cast<long>(c.adaptation.size())), c.adaptation);
    const auto pes = first.begin() + 4 + static_cast<long>(c.adaptation.size());
    EXPECT_EQ(Bytes(pes, pes + 4), pes_head);
    EXPECT_EQ((pes[4] << 8) | pes[5], static_cast<int>(c.size + 8));  // PES_packet_length
    EXPECT_EQ(Bytes(pes + 6, pes + 9), (Bytes{0x80, 0x80, 0x05}));
    EXPECT_TRUE(std::equal(pes + 14, first.end(), frame.begin()));
  }
  // 171 bytes: the last byte goes alone into a second packet behind 183 bytes of adaptation field.
  run.Mux(Kind::kVideo, Pattern(20000));
  const Bytes frame = Pattern(171);
  const uint8_t counter = run.NextCounter(Kind::kAudio);
  const Bytes second = Packet(run.Mux(Kind::kAudio, frame), 3);
  EXPECT_EQ(Bytes(second.begin(), second.begin() + 6),
            (Bytes{0x47, 0x01, 0x01, static_cast<uint8_t>(0x30 | ((counter + 1) & 0x0F)), 182, 0x00}));
  EXPECT_EQ(second[187], frame.back());
  EXPECT_EQ(std::count(second.begin() + 6, second.end() - 1, 0xFF), 181);
}

TEST(TsMuxerTest, PtsEncoding) {
  MuxerRun run;
  const Bytes zero = Packet(run.Mux(Kind::kAudio, Pattern(170), 0), 2);
  EXPECT_EQ(Bytes(zero.begin() + 13, zero.begin() + 18), (Bytes{0x21, 0x00, 0x01, 0x00, 0x01}));
  const Bytes max = Packet(run.Mux(Kind::kAudio, Pattern(170), 0xFFFFFFFF), 2);
  EXPECT_EQ(Bytes(max.begin() + 13, max.begin() + 18), (Bytes{0x27, 0xFF, 0xFF, 0xFF, 0xFF}));
  for (uint32_t pts : {1u, 90000u, 0x12345678u, 0x80000000u}) {
    std::vector<std::string> errors;
    const auto pes = ReassemblePes(ParsePackets(run.Mux(Kind::kVideo, Pattern(500), pts), &errors),
                                   TsMuxer::kVideoPid, &errors);
    ASSERT_EQ(pes.size(), 1u);
    EXPECT_EQ(pes[0].pts, pts);
    EXPECT_TRUE(errors.empty());
  }
}

// Elementary stream bytes a demultiplexer sees for one video frame: the delimiter when one was added, then
// the frame; nothing ahead of the first start code.
Bytes VideoPayload(MuxerRun& run, const Bytes& frame) {
  std::vector<std::string> errors;
  const auto pes = ReassemblePes(ParsePackets(run.Mux(Kind::kVideo, frame), &errors), TsMuxer::kVideoPid, &errors);
  EXPECT_TRUE(errors.empty()) << errors.front();
  EXPECT_EQ(pes.size(), 1u);
  return pes.empty() ? Bytes{} : pes[0].data;
}

TEST(TsMuxerTest, DelimiterAddedOnlyWhenTheFrameLacksOne) {
  const Bytes sps = Concat({{0x00, 0x00, 0x00, 0x01, 0x67}, Pattern(300)});
  struct Case { Bytes frame; bool gets_delimiter; };
  std::vector<Case> cases = {
      {Concat({kDelimiter, {0x00, 0x00, 0x00, 0x01, 0x67}, Pattern(40)}), false},
      {Concat({{0x00, 0x00, 0x01, 0x09, 0xF0}, {0x00, 0x00, 0x01, 0x41}, Pattern(40)}), false},
      {sps, true},
      {Pattern(4), true},                    // no start code at all
      {{0x00, 0x00, 0x01}, false},           // too short to hold a NAL unit
      {{0x00, 0x00, 0x00, 0x01}, true}};     // nothing but a four-byte start code
  // Tiny frames of 4 to 7 bytes that need one.
  for (size_t size = 4; size <= 7; ++size) {
    cases.push_back({Concat({{0x00, 0x00, 0x01, 0x41}, Pattern(size - 4)}), true});
  }
  MuxerRun run;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.frame.size());
    EXPECT_EQ(VideoPayload(run, c.frame), Concat({c.gets_delimiter ? kDelimiter : Bytes{}, c.frame}));
  }
  // The delimiter sits right behind the 19-byte PES header of a large frame's first packet, whose last five
  // bytes are stuffing inside the header.
  const Bytes first = Packet(run.Mux(Kind::kVideo, sps, 0), 2);
  EXPECT_EQ(first[3] & 0x30, 0x10);
  EXPECT_EQ(Bytes(first.begin() + 4, first.begin() + 23),
            (Bytes{0x00, 0x00, 0x01, 0xE0, 0x00, 0x00, 0x80, 0x80, 0x0A, 0x21, 0x00, 0x01, 0x00, 0x01, 0xFF, 0xFF,
                   0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(Bytes(first.begin() + 23, first.begin() + 29), kDelimiter);
  EXPECT_TRUE(std::equal(first.begin() + 29, first.end(), sps.begin()));
}

TEST(TsMuxerTest, ShortFrameWithDelimiterSpillsItsLastSixBytes) {
  MuxerRun run;
  for (int call = 0; call < 3; ++call) run.Mux(Kind::kVideo, Pattern(3000 + 700 * call));  // dirty the buffer
  const Bytes frame = Concat({{0x00, 0x00, 0x00, 0x01, 0x41}, Pattern(15)});  // 20 bytes
  const uint8_t counter = run.NextCounter(Kind::kVideo);
  const Bytes block = run.Mux(Kind::kVideo, frame);
  ASSERT_EQ(block.size(), 4u * 188);
  const Bytes second = Packet(block, 3);
  EXPECT_EQ(Bytes(second.begin(), second.begin() + 6),
            (Bytes{0x47, 0x01, 0x00, static_cast<uint8_t>(0x30 | ((counter + 1) & 0x0F)), 177, 0x00}));
  EXPECT_EQ(std::count(second.begin() + 6, second.end() - 6, 0xFF), 176);
  EXPECT_TRUE(std::equal(second.end() - 6, second.end(), frame.end() - 6));
}

TEST(TsMuxerTest, EveryFrameSizeReassemblesExactly) {
  TsMuxer muxer;
  for (uint32_t size = 1; size <= 800; ++size) {
    for (Kind kind : {Kind::kAudio, Kind::kVideo}) {
      // With and without a delimiter of its own.
      const Bytes es = Concat({{0x00, 0x00, 0x01, 0x41}, Pattern(size, static_cast<uint8_t>(size))});
      const Bytes frame = Concat({kDelimiter, es});
      for (const Bytes* input : {&frame, &es}) {
        std::vector<std::string> errors;
        const Bytes block = Mux(muxer, kind, *input, size);
        const auto packets = ParsePackets(block, &errors);
        const uint16_t pid = kind == Kind::kVideo ? TsMuxer::kVideoPid : TsMuxer::kAudioPid;
        const auto pes = ReassemblePes(packets, pid, &errors);
        ASSERT_TRUE(errors.empty()) << "size " << size << ": " << errors.front();
        ASSERT_EQ(pes.size(), 1u);
        const Bytes& data = pes[0].data;
        ASSERT_GE(data.size(), input->size());
        ASSERT_TRUE(std::equal(input->begin(), input->end(), data.end() - static_cast<long>(input->size())))
            << "size " << size;
        const size_t extra = data.size() - input->size();
        // Only the delimiter the muxer adds comes before the frame's own bytes.
        ASSERT_EQ(extra, kind == Kind::kVideo && input == &es ? kDelimiter.size() : 0u);
      }
    }
  }
}

TEST(TsMuxerTest, ContinuityCountersRunOnAcrossCallsAndWrap) {
  TsMuxer muxer;
  int video_cc = 0, audio_cc = 0;
  for (int call = 0; call < 40; ++call) {
    const Kind kind = call % 3 == 0 ? Kind::kAudio : Kind::kVideo;
    const Bytes block = Mux(muxer, kind, Pattern(call * 97 % 700 + 1));
    ASSERT_EQ(block[3], 0x10 | (call & 0x0F));
    ASSERT_EQ(block[188 + 3], 0x10 | (call & 0x0F));
    for (size_t i = 2; i < block.size() / 188; ++i) {
      int& cc = kind == Kind::kVideo ? video_cc : audio_cc;
      ASSERT_EQ(block[188 * i + 3] & 0x0F, cc) << "call " << call;
      cc = (cc + 1) & 0x0F;
    }
  }
}

TEST(TsMuxerTest, FrameTooLargeForTheBufferIsRefusedWithoutMovingCounters) {
  Testing::LogCapture log;
  TsMuxer muxer;
  Bytes huge(TsMuxer::kMaxBufferLength, 0x55);
  uint32_t length = 1;
  muxer.MuxVideoFrame(huge.data(), static_cast<uint32_t>(huge.size()), 0, &length);
  EXPECT_EQ(length, 0u);
  EXPECT_TRUE(log.Contains("does not fit"));
  // The largest audio frame that fits is muxed; one byte more is not.
  const uint32_t fits = (TsMuxer::kMaxBufferLength / 188 - 3) * 184 + 170;
  muxer.MuxAudioFrame(huge.data(), fits + 1, 0, &length);
  EXPECT_EQ(length, 0u);
  const uint8_t* block = muxer.MuxAudioFrame(huge.data(), fits, 0, &length);
  EXPECT_EQ(length, TsMuxer::kMaxBufferLength / 188 * 188);
  EXPECT_EQ(block[3], 0x10);  // the refused frame did not use up a PAT counter value
}

TEST(TsMuxerTest, SteadyStateMakesNoAllocation) {
  TsMuxer muxer;
  const Bytes key = Pattern(150000), inter = Pattern(9000), audio = Pattern(250);
  Mux(muxer, Kind::kVideo, key);
  uint32_t length = 0;
  const long before = g_allocations.load();
  for (int i = 0; i < 50; ++i) {
    muxer.MuxVideoFrame(i % 10 ? inter.data() : key.data(), i % 10 ? 9000 : 150000, 3000u * i, &length);
    muxer.MuxAudioFrame(audio.data(), 250, 1920u * i, &length);
  }
  EXPECT_EQ(g_allocations.load(), before);
}

}  // namespace
}  // namespace VellRecorder
