
#include <gtest/gtest.h>

#include "testing/logcapture.h"

#include "exception.h"
#include "ipcmessageparser.h"
#include "utils/log.h"

namespace VellRecorder {
namespace {

std::string Frame(const std::string& payload) {
  const auto n = static_cast<uint32_t>(payload.size());
  return std::string{static_cast<char>(n), static_cast<char>(n >> 8), static_cast<char>(n >> 16),
                     static_cast<char>(n >> 24)} + payload;
}

std::vector<std::string> Feed(FrameReader& reader, const std::string& bytes) {
  return reader.Append(bytes.data(), bytes.size());
}

TEST(IPCMessageParserTest, WalksFramesAndRefusesOneThatPromisesMoreThanArrived) {
  const std::string bytes = Frame("{\"a\":1}") + Frame("") + Frame("xyz").substr(0, 5);
  IPCMessageParser parser(bytes.data(), static_cast<uint32_t>(bytes.size()));
  ASSERT_TRUE(parser.HasNextMessage());
  EXPECT_EQ(parser.NextMessage(), "{\"a\":1}");
  ASSERT_TRUE(parser.HasNextMessage());
  EXPECT_EQ(parser.NextMessage(), "");  // a zero-length frame is one empty message
  ASSERT_TRUE(parser.HasNextMessage());
  EXPECT_FALSE(parser.HasCompleteMessage());
  EXPECT_THROW(parser.NextMessage(), Exception);
}

TEST(IPCMessageParserTest, EncodedFramesAreLittleEndianLengthThenPayload) {
  const std::string payload(0x10203, 'p');
  EXPECT_EQ(EncodeFrame(payload), Frame(payload));
  EXPECT_EQ(EncodeFrame(""), std::string(4, '\0'));
}

TEST(IPCMessageParserTest, ThreeBytesAreNotAMessage) {
  const char bytes[3] = {1, 0, 0};
  IPCMessageParser parser(bytes, 3);
  EXPECT_FALSE(parser.HasNextMessage());
  EXPECT_EQ(parser.NextMessage(), "");
}

class FrameReaderTest : public ::testing::Test {
 protected:
  Testing::LogCapture log_;
  FrameReader reader_;
};

TEST_F(FrameReaderTest, TwoFramesInOneReadComeOutInOrder) {
  EXPECT_EQ(Feed(reader_, Frame("first") + Frame("second")), (std::vector<std::string>{"first", "second"}));
  EXPECT_EQ(reader_.PendingBytes(), 0u);
}

TEST_F(FrameReaderTest, SplitFrameIsReassembledAcrossReads) {
  const std::string bytes = Frame("{\"type\":\"check-mic-permissions\"}") + Frame("next");
  // Every split point, including inside the length field.
  for (size_t split = 1; split < bytes.size(); ++split) {
    FrameReader reader;
    auto frames = Feed(reader, bytes.substr(0, split));
    for (auto& f : Feed(reader, bytes.substr(split))) frames.push_back(f);
    EXPECT_EQ(frames, (std::vector<std::string>{"{\"type\":\"check-mic-permissions\"}", "next"})) << split;
  }
}

TEST_F(FrameReaderTest, FrameLongerThanOneReadArrivesWhole) {
  const std::string big(20000, 'x');
  const std::string bytes = Frame(big);
  std::vector<std::string> frames;
  for (size_t at = 0; at < bytes.size(); at += 5120) {
    for (auto& f : Feed(reader_, bytes.substr(at, 5120))) frames.push_back(f);
  }
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0], big);
}

TEST_F(FrameReaderTest, ZeroLengthFrameIsLoggedAndSkipped) {
  EXPECT_EQ(Feed(reader_, Frame("") + Frame("after")), std::vector<std::string>{"after"});
  EXPECT_NE(log_.Text().find("zero-length"), std::string::npos);
}

TEST_F(FrameReaderTest, ThreeBytesWaitForTheRestInsteadOfBeingLost) {
  const std::string bytes = Frame("abc");
  EXPECT_TRUE(Feed(reader_, bytes.substr(0, 3)).empty());
  EXPECT_EQ(Feed(reader_, bytes.substr(3)), std::vector<std::string>{"abc"});
}

TEST_F(FrameReaderTest, ImpossibleLengthDropsThePendingBytesAndRecovers) {
  const std::string corrupt = std::string("\xFF\xFF\xFF\x7F", 4) + "garbage";
  EXPECT_TRUE(Feed(reader_, corrupt).empty());
  EXPECT_EQ(reader_.PendingBytes(), 0u);
  EXPECT_NE(log_.Text().find("exceeds the limit"), std::string::npos);
  EXPECT_EQ(Feed(reader_, Frame("ok")), std::vector<std::string>{"ok"});
}

TEST(FrameReaderStallTest, LongFrameIsLoggedAndAStalledPartialFrameIsDroppedSoLaterFramesGetThrough) {
  Testing::LogCapture log;
  int64_t now = 0;
  FrameReader reader([&now] { return now; });
  const int64_t second = 1'000'000'000;
  // A header announcing 1 MB, followed by two bytes, and then nothing but the host's next messages.
  EXPECT_TRUE(Feed(reader, std::string("\x00\x00\x10\x00", 4) + "{\"").empty());
  EXPECT_TRUE(log.Contains("WARN  [") && log.Contains("Receiving a frame of 1048576 bytes over several reads"))
      << log.Text();
  // Whole messages written meanwhile are read as the stalled frame's bytes: however often they come, the frame
  // is dropped 2 s after its first byte.
  const std::string poll = Frame("{\"type\":\"check-mic-permissions\"}");
  for (int i = 1; i <= 3; ++i) {
    now = i * second / 2;
    EXPECT_TRUE(Feed(reader, poll).empty());
    EXPECT_FALSE(reader.DropStalled());
  }
  now = FrameReader::kStallTimeoutNs - 1;
  EXPECT_FALSE(reader.DropStalled());
  now = FrameReader::kStallTimeoutNs;
  EXPECT_TRUE(reader.DropStalled());
  EXPECT_EQ(reader.PendingBytes(), 0u);
  const std::string dropped = "Dropping an incomplete frame of 1048576 bytes after " + std::to_string(2 + 3 * poll.size());
  EXPECT_TRUE(log.Contains(" ERROR [") && log.Contains(dropped + ": not complete 2000 ms after its first byte"))
      << log.Text();
  EXPECT_EQ(Feed(reader, Frame("{\"type\":\"finish\"}")), std::vector<std::string>{"{\"type\":\"finish\"}"});
  EXPECT_FALSE(reader.DropStalled());
}

// The clock of a partial frame starts with the read that brought its first byte, also when that read completed
// the frame before it, and later bytes do not move it.
TEST(FrameReaderStallTest, EachFramesClockStartsWithTheReadOfItsFirstByte) {
  int64_t now = 0;
  FrameReader reader([&now] { return now; });
  const std::string first = Frame("first");
  const std::string second = Frame("second");
  const int64_t started = FrameReader::kStallTimeoutNs - 100;
  EXPECT_TRUE(Feed(reader, first.substr(0, 6)).empty());
  now = started;
  EXPECT_EQ(Feed(reader, first.substr(6) + second.substr(0, 6)), std::vector<std::string>{"first"});
  now = started + 50;
  EXPECT_FALSE(reader.DropStalled());
  EXPECT_TRUE(Feed(reader, second.substr(6, 2)).empty());
  now = started + FrameReader::kStallTimeoutNs - 1;
  EXPECT_FALSE(reader.DropStalled());
  now = started + FrameReader::kStallTimeoutNs;
  EXPECT_TRUE(reader.DropStalled());
  EXPECT_EQ(reader.PendingBytes(), 0u);
}

// A frame written whole but longer than the daemon reads in 2 s (16 reads of 5120 bytes per 50 ms poll): it is
// kept while the polls leave bytes in the pipe, and once they do not, the wait is on the host again.
TEST(FrameReaderStallTest, LongFrameArrivingAsFastAsItIsReadIsKept) {
  int64_t now = 0;
  FrameReader reader([&now] { return now; });
  const std::string bytes = Frame(std::string(5'000'000, 'x'));
  const size_t per_poll = 16 * 5120;
  std::vector<std::string> frames;
  for (size_t at = 0; at < bytes.size(); at += per_poll, now += 50'000'000) {
    for (auto& f : Feed(reader, bytes.substr(at, per_poll))) frames.push_back(std::move(f));
    EXPECT_FALSE(reader.DropStalled(/*reader_behind=*/at + per_poll < bytes.size())) << at;
  }
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].size(), 5'000'000u);
  EXPECT_TRUE(Feed(reader, bytes.substr(0, per_poll)).empty());
  EXPECT_FALSE(reader.DropStalled(true));
  now += FrameReader::kStallTimeoutNs;
  EXPECT_TRUE(reader.DropStalled(false));
}

TEST(FrameReaderStallTest, ShortPartialFramesAndLengthFieldsAreDroppedTooButNotLogged) {
  Testing::LogCapture log;
  int64_t now = 0;
  FrameReader reader([&now] { return now; });
  for (const std::string& partial : {Frame("{\"type\":1}").substr(0, 7), std::string("\x05\x00", 2)}) {
    log.Clear();
    now += 10 * FrameReader::kStallTimeoutNs;
    EXPECT_TRUE(Feed(reader, partial).empty());
    EXPECT_FALSE(log.Contains("Receiving a frame"));
    now += FrameReader::kStallTimeoutNs - 1;
    EXPECT_FALSE(reader.DropStalled());
    now += 1;
    EXPECT_TRUE(reader.DropStalled());
    EXPECT_TRUE(log.Contains("Dropping ")) << log.Text();
    EXPECT_EQ(Feed(reader, Frame("next")), std::vector<std::string>{"next"});
  }
}

}  // namespace
}  // namespace VellRecorder
