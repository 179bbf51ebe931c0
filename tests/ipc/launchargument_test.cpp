#include <gtest/gtest.h>

#include <string>

#include "launchargument.h"

namespace VellRecorder {
namespace {

std::string Argument(const std::string& options) { return R"({"payload":{"daemonOptions":)" + options + "}}"; }

TEST(LaunchArgumentTest, ReadsPipeAndSecret) {
  const auto arg = ParseLaunchArgument(
      R"({"other":1,"payload":{"daemonOptions":{"pipePath":"\\\\.\\pipe\\p1","secret":"s3"}}})");
  EXPECT_EQ(arg.pipe_path, "\\\\.\\pipe\\p1");
  EXPECT_EQ(arg.secret, "s3");
}

// The error texts reach the log: none may quote the argument (the JSON library's parse errors do).
TEST(LaunchArgumentTest, RefusalsNameTheFaultButNeverQuoteTheArgument) {
  const std::pair<std::string, const char*> cases[] = {
      {Argument(R"({"pipePath":"p","secret":"TOPSECRET1"}}} trailing)"), "not valid JSON (error at byte"},
      {Argument(R"({"pipePath":"p","secret":"TOPSECRET1\u00)"), "not valid JSON"},
      {Argument("{\"pipePath\":\"p\",\"secret\":\"TOPSECRET1\xFF\"}"), "not valid JSON"},
      {Argument(R"({"pipePath":"p"})"), "payload.daemonOptions.secret is missing"},
      {Argument(R"({"pipePath":"p","secret":["TOPSECRET1"]})"), "secret must be a string, but is array"},
      {Argument(R"({"secret":"TOPSECRET1","pipePath":7})"), "pipePath must be a string, but is number"},
      {R"({"payload":"TOPSECRET1"})", "payload.daemonOptions is missing"},
      {Argument(std::string(100, '[') + "\"TOPSECRET1\"" + std::string(100, ']')), "nested deeper than 64"},
  };
  for (const auto& [argument, reason] : cases) {
    try {
      ParseLaunchArgument(argument);
      ADD_FAILURE() << argument;
    } catch (const LaunchArgumentError& e) {
      EXPECT_NE(std::string(e.what()).find(reason), std::string::npos) << e.what();
      EXPECT_EQ(std::string(e.what()).find("TOPSECRET"), std::string::npos) << e.what();
    }
  }
}

TEST(LaunchArgumentTest, RedactionKeepsTheTextAndHidesEveryCopyOfTheSecret) {
  const std::pair<std::string, std::string> cases[] = {
      {R"({"payload": {"daemonOptions": {"pipePath": "\\\\.\\pipe\\x", "secret": "hunter2"}}})",
       R"({"payload": {"daemonOptions": {"pipePath": "\\\\.\\pipe\\x", "secret": "<redacted>"}}})"},
      // Two members: the parsed document keeps only the last one, the text has both.
      {Argument(R"({"secret":"first-copy","pipePath":"p","secret":"second-copy"})"),
       Argument(R"({"secret":"<redacted>","pipePath":"p","secret":"<redacted>"})")},
      {Argument(R"({"secret":"same","pipePath":"p","secret":"same"})"),
       Argument(R"({"secret":"<redacted>","pipePath":"p","secret":"<redacted>"})")},
      // Misplaced: wherever a "secret" member stands, even a key written with an escape.
      {R"({"secret":"top","payload":{"secret":"mid","daemonOptions":{"pipePath":"p","\u0073ecret":"low"}}})",
       R"({"secret":"<redacted>","payload":{"secret":"<redacted>","daemonOptions":{"pipePath":"p","\u0073ecret":"<redacted>"}}})"},
      {Argument(R"({"pipePath":"p","secret":"with \"quote\" and \\ slash"})"),
       Argument(R"({"pipePath":"p","secret":"<redacted>"})")},
      {Argument(R"({"pipePath":"p","secret":""})"), Argument(R"({"pipePath":"p","secret":""})")},
      {R"({"payload":{"daemonOptions":{"pipePath":"p"}}})", R"({"payload":{"daemonOptions":{"pipePath":"p"}}})"},
  };
  for (const auto& [argument, logged] : cases) EXPECT_EQ(RedactSecret(argument), logged) << argument;
}

TEST(LaunchArgumentTest, WhatCannotBeRedactedForCertainIsHiddenWhole) {
  const std::string cases[] = {
      Argument(R"({"pipePath":"p","secret":"TOPSECRET3"}}} tra)"),            // not JSON
      Argument(R"({"pipePath":"p","secret":TOPSECRET3})"),                    // not JSON either
      Argument(R"({"pipePath":"p","secret":12345678})"),                      // not a string
      Argument(R"({"pipePath":"p","secret":{"v":"TOPSECRET3"}})"),
      Argument(R"({"pipePath":"p","secret":"\u0054OPSECRET3"})"),             // escaped unlike our rendering
      Argument(R"({"secret":"TOPSECRET3","pipePath":"p","secret":"\u0054OPSECRET3"})"),
      Argument(R"({"pipePath":"\\\\.\\pipe\\TOPSECRET3","secret":"TOPSECRET3"})"),  // also inside another value
      Argument(R"({"pipePath":"p","secret":"TOPSECRET3","TOPSECRET3-note":1})"),
      Argument(std::string(70, '[') + R"({"secret":"TOPSECRET3"})" + std::string(70, ']')),
  };
  for (const std::string& argument : cases) {
    EXPECT_EQ(RedactSecret(argument), "<redacted: " + std::to_string(argument.size()) + " bytes>") << argument;
  }
}

}  // namespace
}  // namespace VellRecorder
