
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

}  // namespace
}  // namespace VellRecorder
