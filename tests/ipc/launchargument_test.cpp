#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "launchargument.h"

namespace VellRecorder {
namespace {

TEST(LaunchArgumentTest, ReadsPipeAndSecretAndRefusesMissingOrMistypedMembers) {
  const auto arg = ParseLaunchArgument(
      R"({"other":1,"payload":{"daemonOptions":{"pipePath":"\\\\.\\pipe\\p1","secret":"s3"}}})");
  EXPECT_EQ(arg.pipe_path, "\\\\.\\pipe\\p1");
  EXPECT_EQ(arg.secret, "s3");
  EXPECT_THROW(ParseLaunchArgument("{"), nlohmann::json::exception);
  EXPECT_THROW(ParseLaunchArgument(R"({"payload":{"daemonOptions":{"pipePath":"p"}}})"), nlohmann::json::exception);
  EXPECT_THROW(ParseLaunchArgument(R"({"payload":{"daemonOptions":{"pipePath":"p","secret":5}}})"),
               nlohmann::json::exception);
}

TEST(LaunchArgumentTest, RedactionHidesOnlyTheSecret) {
  const std::string arg = R"({"payload": {"daemonOptions": {"pipePath": "\\\\.\\pipe\\x", "secret": "hunter2"}}})";
  const std::string logged = RedactSecret(arg);
  EXPECT_EQ(logged.find("hunter2"), std::string::npos);
  EXPECT_EQ(logged, R"({"payload": {"daemonOptions": {"pipePath": "\\\\.\\pipe\\x", "secret": "<redacted>"}}})");
}

TEST(LaunchArgumentTest, RedactionHandlesSecretsEscapedDifferentlyByTheHost) {
  // \u0041 is "A": the text as sent does not contain the secret's literal as we would write it.
  const std::string arg = R"({"payload":{"daemonOptions":{"pipePath":"p","secret":"\u0041bc"}}})";
  const std::string logged = RedactSecret(arg);
  EXPECT_EQ(logged.find("Abc"), std::string::npos);
  EXPECT_EQ(logged.find("0041"), std::string::npos);
  EXPECT_NE(logged.find("<redacted>"), std::string::npos);
  EXPECT_EQ(RedactSecret("not json"), "not json");
}

}  // namespace
}  // namespace VellRecorder
