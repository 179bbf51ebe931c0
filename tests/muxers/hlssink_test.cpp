#include "muxers/hlssink.h"

#include <fstream>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "muxers/test_util.h"
#include "muxers/ts_reader.h"
#include "testing/logcapture.h"
#include "testing/watchdog.h"

namespace VellRecorder {
namespace {

using namespace Testing;

// Blocks of the frames above: PAT, PMT and one packet; video frames get a delimiter, which pushes their
// last six bytes into a second packet.
constexpr size_t kAudioBlock = 3 * 188;
constexpr size_t kVideoBlock = 4 * 188;

// A sink that keeps the paths it reports; the list outlives the sink, whose destructor may still report.
struct RecordingSink {
  explicit RecordingSink(const std::wstring& folder)
      : sink(std::make_unique<HLSSink>(folder, [this](std::wstring path) { reported.push_back(std::move(path)); })) {}
  void Mux(const Bytes& frame, int64_t time_us, StreamKind kind) {
    sink->MuxRaw(frame.data(), static_cast<uint32_t>(frame.size()), time_us, kind);
  }
  std::vector<std::wstring> reported;
  std::unique_ptr<HLSSink> sink;
};

bool IsKey(const Bytes& frame) { return HLSSink::IsKeyframe(frame.data(), static_cast<uint32_t>(frame.size())); }

TEST(HLSSinkKeyframeTest, SpsAtTheHeadAfterAnOptionalDelimiter) {
  EXPECT_TRUE(IsKey({0x00, 0x00, 0x00, 0x01, 0x09, 0xF0, 0x00, 0x00, 0x00, 0x01, 0x67, 0x42}));
  EXPECT_FALSE(IsKey({0x00, 0x00, 0x00, 0x01, 0x09, 0xF0, 0x00, 0x00, 0x00, 0x01, 0x41, 0x9A}));
  EXPECT_TRUE(IsKey({0x00, 0x00, 0x01, 0x09, 0xF0, 0x00, 0x00, 0x01, 0x67, 0x42}));
  EXPECT_TRUE(IsKey({0x00, 0x00, 0x01, 0x67}));
  EXPECT_TRUE(IsKey({0x00, 0x00, 0x00, 0x01, 0x67}));
  EXPECT_FALSE(IsKey({0x00, 0x00, 0x01}));
  EXPECT_FALSE(IsKey({0x00, 0x00, 0x00, 0x01}));                    // start code without a NAL unit
  EXPECT_FALSE(IsKey({0x00, 0x00, 0x00, 0x01, 0x65, 0x88, 0x84}));  // IDR slice without an SPS
  EXPECT_FALSE(IsKey({0x00, 0x00, 0x00, 0x01, 0x06, 0x05, 0x00, 0x00, 0x00, 0x01, 0x67, 0x42}));  // SEI first
  // A delimiter followed by no further start code, or by one too close to the end to be looked for.
  EXPECT_FALSE(IsKey({0x00, 0x00, 0x00, 0x01, 0x09, 0xF0, 0x12, 0x34, 0x56}));
  EXPECT_FALSE(IsKey({0x00, 0x00, 0x00, 0x01, 0x09, 0xF0, 0x00, 0x00, 0x01}));
}

class HLSSinkTest : public ::testing::Test {
 protected:
  HLSSinkTest() : sink_(folder_.wide(), [this](std::wstring path) { reported_.push_back(std::move(path)); }) {}

  void Video(const Bytes& frame, int64_t time_us) {
    sink_.MuxRaw(frame.data(), static_cast<uint32_t>(frame.size()), time_us, StreamKind::kVideo);
  }
  void Audio(int64_t time_us) {
    sink_.MuxRaw(kAudioFrame.data(), static_cast<uint32_t>(kAudioFrame.size()), time_us, StreamKind::kAudio);
  }
  std::wstring Part(int index) const { return WidePath(folder_.path() / ("part-" + std::to_string(index) + ".ts")); }
  Bytes ReadPart(int index) const { return ReadFile(FsPath(Part(index))); }
  std::vector<std::wstring> Parts(std::initializer_list<int> indices) const {
    std::vector<std::wstring> out;
    for (int i : indices) out.push_back(Part(i));
    return out;
  }

  TempFolder folder_;
  std::vector<std::wstring> reported_;  // written by the callback under the sink's mutex
  HLSSink sink_;
};

TEST_F(HLSSinkTest, CutsOnlyAtAKeyframeStrictlyPastTheBoundary) {
  Video(kKeyframe, 0);
  Video(kInterFrame, 4000001);  // not a keyframe: no cut
  Video(kKeyframe, 4000000);    // on the boundary: no cut
  EXPECT_TRUE(reported_.empty());
  Video(kKeyframe, 4000001);
  EXPECT_EQ(reported_, Parts({0}));
  Video(kKeyframe, 8000000);
  Video(kKeyframe, 8000001);
  EXPECT_EQ(reported_, Parts({0, 1}));
  EXPECT_EQ(ReadPart(0).size(), 3 * kVideoBlock);
  EXPECT_EQ(ReadPart(1).size(), 2 * kVideoBlock);
  sink_.Finish();
  EXPECT_EQ(reported_, Parts({0, 1, 2}));
  EXPECT_EQ(ReadPart(2).size(), kVideoBlock);
  EXPECT_EQ(sink_.VideoFrameCount(), 6u);
}

TEST_F(HLSSinkTest, EmptyFirstPartWhenTheFirstFrameIsALateKeyframe) {
  Video(kKeyframe, 4000001);
  EXPECT_EQ(reported_, Parts({0}));
  EXPECT_TRUE(std::filesystem::exists(FsPath(Part(0))));
  EXPECT_EQ(ReadPart(0).size(), 0u);
  EXPECT_EQ(ReadPart(1).size(), kVideoBlock);  // written through while the part is still open
}

TEST_F(HLSSinkTest, AfterAGapEachKeyframeAdvancesByOnePart) {
  Video(kKeyframe, 0);
  Video(kKeyframe, 30000000);
  Video(kKeyframe, 30100000);
  Video(kKeyframe, 30200000);
  EXPECT_EQ(reported_, Parts({0, 1, 2}));
}

// Some encoders write the parameter sets only into their first keyframe, or only into their output type (the
// sequence header): every IDR picture without them gets the known ones ahead of its slices, after its delimiter,
// so that it cuts a part and the part decodes. Sets carried in the stream replace the known ones.
TEST_F(HLSSinkTest, IdrPicturesWithoutParameterSetsGetTheKnownOnes) {
  const Bytes aud = {0x00, 0x00, 0x00, 0x01, 0x09, 0xF0};
  const Bytes sps = {0x00, 0x00, 0x00, 0x01, 0x67, 0x42, 0x00, 0x1F};
  const Bytes other_sps = {0x00, 0x00, 0x01, 0x67, 0x4D, 0x00, 0x28};
  const Bytes pps = {0x00, 0x00, 0x00, 0x01, 0x68, 0xCE, 0x3C, 0x80};
  const Bytes idr = {0x00, 0x00, 0x00, 0x01, 0x65, 0x88, 0x84, 0x21};
  const auto join = [](std::initializer_list<Bytes> pieces) {
    Bytes joined;
    for (const Bytes& piece : pieces) joined.insert(joined.end(), piece.begin(), piece.end());
    return joined;
  };
  const auto first_frame = [&](int part) {
    std::vector<std::string> errors;
    const std::vector<PesPacket> pes = ReadPes(FsPath(Part(part)), TsMuxer::kVideoPid, &errors);
    EXPECT_TRUE(errors.empty());
    return pes.empty() ? Bytes() : pes.front().data;
  };
  Video(idr, 0);  // none known yet: written as it is, and no keyframe
  EXPECT_FALSE(sink_.KnowsParameterSets());
  const Bytes header = join({sps, pps});
  sink_.SetSequenceHeader(header.data(), header.size());
  EXPECT_TRUE(sink_.KnowsParameterSets());
  Video(join({aud, idr}), 4000001);
  Video(kInterFrame, 4100000);
  Video(join({other_sps, pps, idr}), 8000001);
  Video(idr, 12000001);
  sink_.Finish();
  ASSERT_EQ(reported_, Parts({0, 1, 2, 3}));
  EXPECT_EQ(first_frame(0), join({aud, idr}));  // the muxer puts a delimiter ahead of every frame without one
  EXPECT_EQ(first_frame(1), join({aud, sps, pps, idr}));
  EXPECT_EQ(first_frame(2), join({aud, other_sps, pps, idr}));
  EXPECT_EQ(first_frame(3), join({aud, other_sps, pps, idr}));
}

// A session that makes a keyframe where the schedule asks gets a part for each boundary at any frame rate, cut at
// the first frame past it; after a gap the schedule asks once, not for every boundary the gap passed.
TEST_F(HLSSinkTest, KeyframesOnScheduleCutAtTheFirstFramePastEachBoundary) {
  KeyframeSchedule schedule;
  std::vector<int64_t> cuts;
  const auto frame = [&](int64_t t) {
    const size_t parts = reported_.size();
    Video(t == 0 || schedule.Due(t) ? kKeyframe : kInterFrame, t);
    if (reported_.size() > parts) cuts.push_back(t);
  };
  for (int64_t t = 0; t < 17000000; t += 330000) frame(t);  // about 3 frames a second
  EXPECT_EQ(cuts, (std::vector<int64_t>{4290000, 8250000, 12210000, 16170000}));
  EXPECT_FALSE(schedule.Due(20000000));
  EXPECT_TRUE(schedule.Due(29500000));
  EXPECT_FALSE(schedule.Due(32000000));
  EXPECT_TRUE(schedule.Due(32000001));
}

TEST_F(HLSSinkTest, AudioAloneStaysOnePart) {
  for (int64_t t = 0; t < 30000000; t += 21333) Audio(t);
  EXPECT_TRUE(reported_.empty());
  sink_.Finish();
  EXPECT_EQ(reported_, Parts({0}));
  EXPECT_EQ(sink_.VideoFrameCount(), 0u);
}

TEST_F(HLSSinkTest, PartsHoldTheMuxerBlocksWithCountersRunningAcrossParts) {
  TsMuxer reference;
  Bytes expected;
  auto expect = [&](const Bytes& frame, int64_t t, bool video) {
    uint32_t length = 0;
    const uint32_t pts = static_cast<uint32_t>(t * 9 / 100);
    const uint8_t* block = video ? reference.MuxVideoFrame(frame.data(), uint32_t(frame.size()), pts, &length)
                                 : reference.MuxAudioFrame(frame.data(), uint32_t(frame.size()), pts, &length);
    expected.insert(expected.end(), block, block + length);
  };
  for (int i = 0; i < 300; ++i) {
    const int64_t t = i * 33333;
    const Bytes& frame = i % 30 == 0 ? kKeyframe : kInterFrame;
    Video(frame, t);
    expect(frame, t, true);
    Audio(t);
    expect(kAudioFrame, t, false);
  }
  sink_.Finish();
  // Keyframes every 30 frames: the one at 3,999,960 us cuts nothing, the ones at 4,999,950 and
  // 8,999,910 us do.
  ASSERT_EQ(reported_, Parts({0, 1, 2}));
  Bytes joined;
  for (int i = 0; i < 3; ++i) {
    const Bytes part = ReadPart(i);
    EXPECT_EQ(part.size() % 188, 0u);
    joined.insert(joined.end(), part.begin(), part.end());
  }
  EXPECT_EQ(joined, expected);
  const Bytes second = ReadPart(1);
  std::vector<std::string> errors;
  const auto pes = ReassemblePes(ParsePackets(second, &errors), TsMuxer::kVideoPid, &errors);
  ASSERT_FALSE(pes.empty());
  EXPECT_EQ(pes[0].pts, 4999950u * 9 / 100);
  EXPECT_TRUE(errors.empty());
}

TEST_F(HLSSinkTest, TimeBecomes90kHzPtsTruncatedTo32Bits) {
  const int64_t times[] = {0, 1, 11, 1000000, 47721858836, -1000000};
  const uint64_t expected[] = {0, 0, 0, 90000, (47721858836ull * 9 / 100) & 0xFFFFFFFF, uint32_t(-90000)};
  for (int64_t t : times) Audio(t);
  sink_.Finish();
  std::vector<std::string> errors;
  const auto pes = ReassemblePes(ParsePackets(ReadPart(0), &errors), TsMuxer::kAudioPid, &errors);
  ASSERT_EQ(pes.size(), 6u);
  for (size_t i = 0; i < 6; ++i) EXPECT_EQ(pes[i].pts, expected[i]) << times[i];
}

TEST_F(HLSSinkTest, UnsupportedStreamKindIsLoggedAndNothingWritten) {
  Testing::LogCapture log;
  sink_.MuxRaw(kKeyframe.data(), uint32_t(kKeyframe.size()), 0, static_cast<StreamKind>(2));
  sink_.MuxRaw(kKeyframe.data(), uint32_t(kKeyframe.size()), 0, static_cast<StreamKind>(-1));
  EXPECT_TRUE(log.Contains(" ERROR "));
  EXPECT_TRUE(log.Contains("] Unsupported codec"));
  sink_.Finish();
  EXPECT_TRUE(reported_.empty());
  EXPECT_FALSE(std::filesystem::exists(FsPath(Part(0))));
  EXPECT_EQ(sink_.VideoFrameCount(), 0u);
}

TEST_F(HLSSinkTest, FinishReportsOnceAndALaterFrameNeverOverwritesAReportedPart) {
  Video(kKeyframe, 0);
  sink_.Finish();
  sink_.Finish();
  EXPECT_EQ(reported_, Parts({0}));
  const Bytes first = ReadPart(0);
  Audio(5000000);
  Audio(5100000);
  sink_.Finish();
  EXPECT_EQ(reported_, Parts({0, 1}));
  EXPECT_EQ(ReadPart(0), first);
  EXPECT_EQ(ReadPart(1).size(), 2 * kAudioBlock);
}

// A second recording into the folder of a first: its parts are numbered after the first's (and after any other
// file with a part's name), the first's stay as they were, and the cuts still fall every 4 s of its own time line.
TEST(HLSSinkNumberingTest, ANewRecordingNumbersItsPartsAfterThoseInTheFolder) {
  TempFolder folder;
  const auto path = [&](const std::string& name) { return folder.path() / name; };
  const auto record = [&](RecordingSink& recording) {
    recording.Mux(kKeyframe, 0, StreamKind::kVideo);
    recording.Mux(kKeyframe, 4000000, StreamKind::kVideo);
    recording.Mux(kKeyframe, 4000001, StreamKind::kVideo);
    recording.sink->Finish();
  };
  RecordingSink first(folder.wide());
  record(first);
  ASSERT_EQ(first.reported, (std::vector<std::wstring>{WidePath(path("part-0.ts")), WidePath(path("part-1.ts"))}));
  const Bytes first_parts[] = {ReadFile(path("part-0.ts")), ReadFile(path("part-1.ts"))};
  for (const char* other : {"part-x.ts", "part-9.tsx", "part-.ts", "part-12345678901234567.ts", "notes-30.ts"}) {
    std::ofstream(path(other)) << "not a part";
  }
  RecordingSink second(folder.wide());
  record(second);
  EXPECT_EQ(second.reported, (std::vector<std::wstring>{WidePath(path("part-2.ts")), WidePath(path("part-3.ts"))}));
  EXPECT_EQ(ReadFile(path("part-0.ts")), first_parts[0]);
  EXPECT_EQ(ReadFile(path("part-1.ts")), first_parts[1]);
  EXPECT_EQ(ReadFile(path("part-2.ts")).size(), 2 * kVideoBlock);
  // Names are compared as Windows does, without case; leading zeros still give the number.
  std::ofstream(path("PART-007.TS")) << "not a part";
  RecordingSink third(folder.wide());
  third.Mux(kAudioFrame, 0, StreamKind::kAudio);
  third.sink->Finish();
  EXPECT_EQ(third.reported, std::vector<std::wstring>{WidePath(path("part-8.ts"))});
}

// A file that appears at the next part's name while recording (another program writing parts there) is left as
// it is: the part takes the next free number, and later parts follow it.
TEST(HLSSinkNumberingTest, AFileThatAppearsAtAPartsNameIsNeverOverwritten) {
  TempFolder folder;
  const auto path = [&](const std::string& name) { return folder.path() / name; };
  LogCapture log;
  RecordingSink recording(folder.wide());
  recording.Mux(kKeyframe, 0, StreamKind::kVideo);
  std::ofstream(path("part-1.ts")) << "someone else's";
  std::ofstream(path("part-3.ts")) << "someone else's";
  recording.Mux(kKeyframe, 4000001, StreamKind::kVideo);
  recording.Mux(kKeyframe, 8000001, StreamKind::kVideo);
  recording.sink->Finish();
  EXPECT_EQ(recording.reported, (std::vector<std::wstring>{WidePath(path("part-0.ts")), WidePath(path("part-4.ts")),
                                                           WidePath(path("part-5.ts"))}));
  for (const char* other : {"part-1.ts", "part-3.ts"}) EXPECT_EQ(ReadFile(path(other)).size(), 14u) << other;
  EXPECT_TRUE(log.Contains("numbered from 3")) << log.Text();
  EXPECT_EQ(recording.sink->VideoFrameCount(), 3u);
}

TEST(HLSSinkLifetimeTest, DestructorReportsTheOpenPart) {
  TempFolder folder;
  RecordingSink recorder(folder.wide());
  recorder.Mux(kAudioFrame, 0, StreamKind::kAudio);
  recorder.sink.reset();
  ASSERT_EQ(recorder.reported.size(), 1u);
  EXPECT_EQ(ReadFile(FsPath(recorder.reported[0])).size(), kAudioBlock);
}

TEST(HLSSinkFolderTest, MissingFolderIsCreatedEvenWithNonAsciiName) {
  TempFolder folder;
  const std::wstring nested = JoinPath(JoinPath(folder.wide(), ToWide("zażółć")), L"rec 1");
  RecordingSink recorder(nested);
  recorder.Mux(kAudioFrame, 0, StreamKind::kAudio);
  recorder.sink->Finish();
  ASSERT_EQ(recorder.reported.size(), 1u);
  EXPECT_EQ(recorder.reported[0], JoinPath(nested, L"part-0.ts"));
  EXPECT_EQ(ReadFile(FsPath(recorder.reported[0])).size(), kAudioBlock);
}

TEST(HLSSinkThreadTest, ConcurrentFramesNeverInterleave) {
  TempFolder folder;
  RecordingSink recorder(folder.wide());
  const Bytes big_video = [] {
    Bytes frame(5000, 0x5A);
    std::copy(kInterFrame.begin(), kInterFrame.end(), frame.begin());
    return frame;
  }();
  constexpr int kFrames = 400;
  std::thread video([&] {
    for (int i = 0; i < kFrames; ++i) recorder.Mux(big_video, i, StreamKind::kVideo);
  });
  std::thread audio([&] {
    for (int i = 0; i < kFrames; ++i) recorder.Mux(kAudioFrame, i, StreamKind::kAudio);
  });
  Testing::WithinOrDie(Testing::kHangLimit, "muxing from two threads", [&] {
    video.join();
    audio.join();
    recorder.sink->Finish();
  });
  ASSERT_EQ(recorder.reported.size(), 1u);
  std::vector<std::string> errors;
  const auto packets = ParsePackets(ReadFile(FsPath(recorder.reported[0])), &errors);
  EXPECT_EQ(ReassemblePes(packets, TsMuxer::kVideoPid, &errors).size(), size_t{kFrames});
  EXPECT_EQ(ReassemblePes(packets, TsMuxer::kAudioPid, &errors).size(), size_t{kFrames});
  EXPECT_TRUE(errors.empty()) << errors.front();
  EXPECT_EQ(recorder.sink->VideoFrameCount(), uint64_t{kFrames});
}

}  // namespace
}  // namespace VellRecorder
