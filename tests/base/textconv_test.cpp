#include <gtest/gtest.h>

#include "utils/textconv.h"

namespace VellRecorder {
namespace {

TEST(TextConvTest, RoundTripsNonAsciiIncludingAstralPlane) {
  const std::string utf8 = "C:\\Users\\J\xC3\xBCrgen\\\xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x8E\xA5";
  const std::wstring wide = ToWide(utf8);
  EXPECT_EQ(wide.substr(0, 10), L"C:\\Users\\J");
  EXPECT_EQ(wide[10], L'\u00FC');
  EXPECT_EQ(ToUtf8(wide), utf8);
}

TEST(TextConvTest, InvalidUtf8BecomesReplacementCharacter) {
  const std::wstring wide = ToWide(std::string("a\xFF" "b", 3));
  ASSERT_EQ(wide.size(), 3u);
  EXPECT_EQ(wide[1], L'\uFFFD');
}

TEST(TextConvTest, UnpairedSurrogateGivesEmptyText) {
  std::wstring bad = L"ab";
  bad.push_back(static_cast<wchar_t>(0xD800));
  EXPECT_EQ(ToUtf8(bad), "");
  EXPECT_EQ(ToUtf8(L""), "");
}

}  // namespace
}  // namespace VellRecorder
