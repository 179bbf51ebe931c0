#include <gtest/gtest.h>

#include <string>

#include "media_sources/video/displayid.h"

namespace VellRecorder {
namespace {

// Reference values from a separate implementation of the published algorithm.
TEST(SuperFastHashTest, MatchesReferenceForEveryTailLength) {
  EXPECT_EQ(SuperFastHash("", 0), 0u);
  EXPECT_EQ(SuperFastHash(nullptr, 3), 0u);
  EXPECT_EQ(SuperFastHash("a", 1), 291415938u);
  EXPECT_EQ(SuperFastHash("ab", 2), 1366002500u);
  EXPECT_EQ(SuperFastHash("abc", 3), 3535673738u);
  EXPECT_EQ(SuperFastHash("abcd", 4), 3671636187u);
}

TEST(SuperFastHashTest, TailBytesAboveSevenBitsAreSignExtended) {
  EXPECT_EQ(SuperFastHash("\xff", 1), 0u);
  EXPECT_EQ(SuperFastHash("ab\xfe", 3), 896057952u);
  EXPECT_EQ(SuperFastHash("\x80\x81\x82\x83\x84\x85\x86", 7), 2720380106u);
}

TEST(DisplayIdTest, DeviceNamesGiveTheirDecimalHash) {
  EXPECT_EQ(DisplayIdOf(L"\\\\.\\DISPLAY1"), 2528732444u);
  EXPECT_EQ(DisplayIdText(L"\\\\.\\DISPLAY1"), L"2528732444");
  EXPECT_EQ(DisplayIdText(L"\\\\.\\DISPLAY2"), L"2779098405");
  EXPECT_EQ(DisplayIdText(L""), L"0");
}

TEST(DisplayIdTest, HashCoversAsManyUtf8BytesAsTheNameHasUtf16Units) {
  // 12 UTF-16 units, 13 UTF-8 bytes: the last byte of "é" is left out.
  EXPECT_EQ(DisplayIdOf(L"\\\\.\\DISPLAY\u00e9"), 2647482061u);
  // A character outside the BMP counts as two units: 7 units over 9 bytes.
  EXPECT_EQ(DisplayIdOf(L"\\\\.\\D\U0001F600"), 2992710034u);
}

TEST(DisplayIdTest, NameThatDoesNotConvertHashesToZero) {
  std::wstring bad = L"\\\\.\\DISPLAY1";
  bad.push_back(static_cast<wchar_t>(0xD800));
  EXPECT_EQ(DisplayIdOf(bad), 0u);
}

}  // namespace
}  // namespace VellRecorder
