// The host CLI's directive parser: every script is checked before the daemon starts, so a malformed number
// is a usage error, never an exception that ends the CLI with a status outside 0/1/2.
#include <gtest/gtest.h>

#include "hostdirectives.h"

namespace VellHost {
namespace {

TEST(HostDirectivesTest, ParsesEachDirectiveWithItsArguments) {
  using K = DirectiveKind;
  const struct {
    const char* line;
    K kind;
    std::string text;
    std::string payload;
    long long number;
    long long limit_ms;
  } cases[] = {
      {R"({"type":"check-mic-permissions"})", K::kSend, R"({"type":"check-mic-permissions"})", "", 0, 0},
      {R"(send {"type":"x"})", K::kSend, R"({"type":"x"})", "", 0, 0},
      {"send-text not json", K::kSendText, "not json", "", 0, 0},
      {"send-bytes 0000 1000 7b22", K::kSendBytes, std::string("\0\0\x10\0{\"", 6), "", 0, 0},
      {"send-split 6 {\"type\":\"x\"}", K::kSendSplit, "{\"type\":\"x\"}", "", 6, 0},
      {"expect check-all-permissions", K::kExpect, "check-all-permissions", "", 0, 0},
      {R"(expect display-info {"displays":null})", K::kExpect, "display-info", R"({"displays":null})", 0, 0},
      {"expect-quiet 400", K::kExpectQuiet, "", "", 400, 0},
      {"sleep 0", K::kSleep, "", "", 0, 0},
      {"expect-log received message x", K::kExpectLog, "received message x", "", 0, 0},
      {"expect-exit 0 within 250", K::kExpectExit, "", "", 0, 250},
      {"expect-exit 3221225477 within 1000", K::kExpectExit, "", "", 3221225477LL, 1000},
      {"close-pipe", K::kClosePipe, "", "", 0, 0},
  };
  for (const auto& c : cases) {
    Directive d;
    std::string error;
    ASSERT_TRUE(ParseDirective(c.line, &d, &error)) << c.line << ": " << error;
    EXPECT_EQ(d.kind, c.kind) << c.line;
    EXPECT_EQ(d.text, c.text) << c.line;
    EXPECT_EQ(d.payload, c.payload) << c.line;
    EXPECT_EQ(d.number, c.number) << c.line;
    EXPECT_EQ(d.limit_ms, c.limit_ms) << c.line;
  }
}

TEST(HostDirectivesTest, MalformedArgumentsAreRefusedWithAReason) {
  const char* cases[] = {
      "sleep abc", "sleep -5", "sleep 12ms", "sleep", "sleep 99999999999999999999", "expect-quiet 1.5",
      "expect-exit 0 within soon", "expect-exit zero within 250", "expect-exit 0 in 250", "expect-exit 0 within",
      "expect-exit -1 within 250", "send-bytes 0g", "send-bytes 123", "send-bytes", "send-split x {}",
      "send {not json", "expect", "expect t {bad", "wait-for", "close-pipe now", "launch-missiles",
  };
  for (const char* line : cases) {
    Directive d;
    std::string error;
    EXPECT_FALSE(ParseDirective(line, &d, &error)) << line;
    EXPECT_FALSE(error.empty()) << line;
  }
}

TEST(HostDirectivesTest, ScriptSkipsCommentsAndBlanksAndNamesTheFirstBadLine) {
  std::vector<Directive> directives;
  std::string error;
  EXPECT_TRUE(ParseScript({"# comment", "", "sleep 5\r", "close-pipe  "}, &directives, &error)) << error;
  ASSERT_EQ(directives.size(), 2u);
  EXPECT_EQ(directives[1].kind, DirectiveKind::kClosePipe);
  directives.clear();
  EXPECT_FALSE(ParseScript({"sleep 5", "sleep five", "sleep x"}, &directives, &error));
  EXPECT_EQ(error.rfind("sleep five: ", 0), 0u) << error;
}

}  // namespace
}  // namespace VellHost
