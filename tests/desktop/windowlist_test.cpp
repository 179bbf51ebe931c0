#include <gtest/gtest.h>

#include <string>

#include "utils/textconv.h"
#include "windowlist.h"

namespace VellRecorder {
namespace {

using nlohmann::json;

TEST(WindowListTest, OwnerNameIsTheLastPieceOfTheTitle) {
  const struct {
    std::wstring title;
    std::wstring owner;
  } cases[] = {
      {L"Inbox - Mail", L"Mail"},     {L"a - b - c", L"c"},   {L"Report - ", L"Report"},
      {L"Calculator", L"Calculator"}, {L" - ", L""},          {L"a -  - b", L"b"},
      {L"x - - y", L"- y"},           {L"a-b - c-d", L"c-d"}, {L"a - b - ", L"b"},
  };
  for (const auto& c : cases) EXPECT_EQ(OwnerNameFromTitle(c.title), c.owner) << ToUtf8(c.title);
}

TEST(WindowListTest, UnpairedSurrogatesBecomeReplacementCharacters) {
  const wchar_t high = 0xD83D;
  const wchar_t low = 0xDE00;
  const struct {
    std::wstring in;
    std::wstring out;
  } cases[] = {
      {std::wstring(L"a") + high, std::wstring(L"a") + wchar_t(0xFFFD)},
      {std::wstring(1, low) + L"b", std::wstring(1, wchar_t(0xFFFD)) + L"b"},
      {std::wstring{low, high}, std::wstring{0xFFFD, 0xFFFD}},
      {std::wstring{high, high, low}, std::wstring{0xFFFD, high, low}},
      {L"plain", L"plain"},
  };
  for (const auto& c : cases) EXPECT_EQ(ReplaceLoneSurrogates(c.in), c.out);
}

TEST(WindowListTest, PayloadHasEveryKeyWithItsFixedValuesAndNullForNoWindow) {
  EXPECT_EQ(WindowsInfoPayload({}).dump(), R"({"windowsInfoArrayString":null})");

  WindowRecord w;
  w.number = 0x1234567890ULL;
  w.title = L"Inbox - Mail \u00e9";
  w.ownerName = L"Mail \u00e9";
  w.ownerPid = 4000000000u;
  w.x = -10;
  w.y = 20;
  w.width = 300;
  w.height = 200;
  w.screenshotPath = L"C:\\t\\0-1.png";
  WindowRecord broken;
  broken.title = std::wstring(L"t") + wchar_t(0xDC00);
  broken.ownerName = broken.title;
  const std::string text = WindowsInfoPayload({w, broken}).dump();
  EXPECT_EQ(text.substr(0, text.find("},{") + 1),
            R"({"windowsInfoArrayString":[{"kCGWindowAlpha":1,"kCGWindowBounds":{"Height":200,"Width":300,"X":-10,)"
            R"("Y":20},"kCGWindowIsOnscreen":true,"kCGWindowLayer":0,"kCGWindowMemoryUsage":0,)"
            "\"kCGWindowName\":\"Inbox - Mail \xc3\xa9\",\"kCGWindowNumber\":78187493520,"
            "\"kCGWindowOwnerName\":\"Mail \xc3\xa9\",\"kCGWindowOwnerPID\":4000000000,"
            R"("kCGWindowSharingState":1,"kCGWindowStoreType":1,"screenshotPath":"C:\\t\\0-1.png"})");
  // The broken title still arrives, as valid UTF-8 that parses back.
  const json parsed = json::parse(text);
  EXPECT_EQ(parsed["windowsInfoArrayString"][1]["kCGWindowName"], "t\xef\xbf\xbd");
  EXPECT_EQ(parsed["windowsInfoArrayString"][1]["kCGWindowOwnerName"], "t\xef\xbf\xbd");
  EXPECT_EQ(parsed["windowsInfoArrayString"][1]["screenshotPath"], "");
}

}  // namespace
}  // namespace VellRecorder
