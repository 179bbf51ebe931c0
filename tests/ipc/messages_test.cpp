#include <functional>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "testing/logcapture.h"
#include "testing/watchdog.h"

#include "ipcmessages.h"
#include "utils/log.h"

namespace VellRecorder {
namespace {

using nlohmann::json;

TEST(EnvelopeTest, EmptyPayloadsGiveTypeAlone) {
  EXPECT_EQ(EncodeEnvelope(L"recorder-started", json()), R"({"type":"recorder-started"})");
  EXPECT_EQ(EncodeEnvelope(L"recorder-started", json::object()), R"({"type":"recorder-started"})");
  EXPECT_EQ(EncodeEnvelope(L"recorder-started", json::array()), R"({"type":"recorder-started"})");
}

TEST(EnvelopeTest, PayloadIsCompactSortedJsonInsideAString) {
  EXPECT_EQ(EncodeEnvelope(L"change-active-window", {{"success", true}}),
            R"({"payload":"{\"success\":true}","type":"change-active-window"})");
  EXPECT_EQ(EncodeEnvelope(L"camera-bounds-info", {{"width", 1280}, {"height", 720}}),
            R"({"payload":"{\"height\":720,\"width\":1280}","type":"camera-bounds-info"})");
  // Scalars are never empty.
  EXPECT_EQ(EncodeEnvelope(L"t", 0), R"({"payload":"0","type":"t"})");
  EXPECT_EQ(EncodeEnvelope(L"t", ""), R"({"payload":"\"\"","type":"t"})");
}

TEST(EnvelopeTest, NonAsciiTravelsAsUtf8NotEscapes) {
  const std::string path = "C:\\Users\\J\xC3\xBCrgen\\part-0.ts";
  EXPECT_EQ(EncodeEnvelope(L"hls-part-written", {{"filePath", path}}),
            "{\"payload\":\"{\\\"filePath\\\":\\\"C:\\\\\\\\Users\\\\\\\\J\xC3\xBCrgen\\\\\\\\part-0.ts\\\"}\","
            "\"type\":\"hls-part-written\"}");
}

TEST(EnvelopeTest, PermissionRepliesAreAllGranted) {
  EXPECT_EQ(EncodeEnvelope(L"check-all-permissions", AllPermissionsGranted()),
            "{\"payload\":\"{\\\"accessibility\\\":{\\\"granted\\\":true,\\\"status\\\":\\\"authorized\\\"},"
            "\\\"camera\\\":{\\\"granted\\\":true,\\\"status\\\":\\\"authorized\\\"},"
            "\\\"mic\\\":{\\\"granted\\\":true,\\\"status\\\":\\\"authorized\\\"},"
            "\\\"screenRecording\\\":{\\\"granted\\\":true,\\\"status\\\":\\\"authorized\\\"}}\","
            "\"type\":\"check-all-permissions\"}");
}

TEST(OutgoingQueueTest, WritesOldestFirstOnePerCallAcrossProducers) {
  OutgoingQueue queue;
  std::thread producer([&] {
    for (int i = 0; i < 5; ++i) queue.Push("b" + std::to_string(i));
  });
  Testing::WithinOrDie(Testing::kHangLimit, "pushing from another thread", [&] { producer.join(); });
  for (int i = 0; i < 5; ++i) queue.Push("a" + std::to_string(i));
  std::vector<std::string> written;
  while (queue.WriteOldest([&](const std::string& m) { written.push_back(m); })) {
  }
  EXPECT_EQ(written, (std::vector<std::string>{"b0", "b1", "b2", "b3", "b4", "a0", "a1", "a2", "a3", "a4"}));
  EXPECT_FALSE(queue.WriteOldest([](const std::string&) { FAIL(); }));
}

class DispatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dispatcher_.Register(L"first", [this](const json& p) { calls_.push_back("first " + p.dump()); });
    dispatcher_.Register(L"needs-string", [this](const json& p) {
      calls_.push_back("needs-string " + RequireString(p, "cameraId"));
    });
  }
  Testing::LogCapture log_;
  MessageDispatcher dispatcher_;
  std::vector<std::string> calls_;
};

TEST_F(DispatcherTest, RunsTheMatchingHandlerWithThePayload) {
  EXPECT_EQ(dispatcher_.Dispatch(R"({"type":"first","payload":{"k":[1,2]}})"), std::optional<std::wstring>(L"first"));
  EXPECT_EQ(dispatcher_.Dispatch(R"({"type":"first"})"), std::optional<std::wstring>(L"first"));
  EXPECT_EQ(calls_, (std::vector<std::string>{"first {\"k\":[1,2]}", "first null"}));
  EXPECT_NE(log_.Text().find("WARN  ["), std::string::npos);
  EXPECT_NE(log_.Text().find("received message first payload: {\"k\":[1,2]}"), std::string::npos);
}

TEST_F(DispatcherTest, MalformedMessagesAreLoggedWithTheirReasonAndDropped) {
  const std::pair<const char*, const char*> cases[] = {
      {"not json", "Failed to parse incoming message: "},
      {"", "Failed to parse incoming message: "},
      {"[1,2]", "not a JSON object but array"},
      {R"({"payload":{}})", "\"type\" must be a string, but is missing"},
      {R"({"type":7})", "\"type\" must be a string, but is number"},
      {R"({"type":"provide-secret"})", "received unknown message type: provide-secret"},
      {R"({"type":"needs-string","payload":{"cameraId":3}})", "\"cameraId\": type must be string, but is number"},
      {R"({"type":"needs-string","payload":"text"})", "payload must be an object"},
      {R"({"type":"needs-string"})", "payload must be an object"},
      {R"({"type":"needs-string","payload":{}})", "key 'cameraId' not found"},
  };
  for (const auto& [frame, reason] : cases) {
    log_.Clear();
    EXPECT_NO_THROW(dispatcher_.Dispatch(frame)) << frame;
    EXPECT_NE(log_.Text().find(" ERROR ["), std::string::npos) << frame;
    EXPECT_NE(log_.Text().find(reason), std::string::npos) << frame << " -> " << log_.Text();
  }
  EXPECT_TRUE(calls_.empty());
  // And the next good message still goes through.
  dispatcher_.Dispatch(R"({"type":"needs-string","payload":{"cameraId":"cam"}})");
  EXPECT_EQ(calls_, std::vector<std::string>{"needs-string cam"});
}

TEST_F(DispatcherTest, NestingDeeperThanTheLimitIsRefusedBeforeParsing) {
  const auto nested = [](size_t levels, const std::string& inner = "") {
    return R"({"type":"first","payload":)" + std::string(levels, '[') + inner + std::string(levels, ']') + "}";
  };
  // The envelope is one level: a payload of kMaxNestingDepth - 1 levels is the deepest taken.
  EXPECT_TRUE(dispatcher_.Dispatch(nested(kMaxNestingDepth - 1)).has_value());
  for (const std::string& frame : {nested(kMaxNestingDepth), nested(30000), nested(100000, "1").substr(0, 150000)}) {
    log_.Clear();
    EXPECT_FALSE(dispatcher_.Dispatch(frame).has_value());
    EXPECT_TRUE(log_.Contains(" ERROR [") && log_.Contains("nested deeper than 64 levels")) << log_.Text();
  }
  // Brackets inside strings, escaped quotes included, are text.
  const std::string brackets = R"({"s":"\"[[{{)" + std::string(100, '[') + R"("})";
  EXPECT_TRUE(dispatcher_.Dispatch(R"({"type":"first","payload":)" + brackets + "}").has_value());
  EXPECT_EQ(calls_.size(), 2u);
}

TEST_F(DispatcherTest, TextFromThePipeCannotForgeARecordOrPutInvalidUtf8InTheLog) {
  const std::pair<std::string, int> frames[] = {  // each frame with the records it gives
      {"{\"type\":\"first\\n1999-01-01 10:00:00.000 ERROR [1] [main@1] forged\"}", 2},
      {"{\"type\":\"nope\\r\\n1999-01-01 forged\\u001b[2J\\u0085\"}", 2},
      {"{\"type\":\"bad\xFF\xFE\"}", 1},  // the parse error quotes the bytes
      {"{\"type\":\"first\"}\n1999-01-01 10:00:00.000 ERROR [1] [main@1] forged", 1},
  };
  for (const auto& [frame, records] : frames) {
    log_.Clear();
    dispatcher_.Dispatch(frame);
    const std::string text = log_.Text();
    std::istringstream lines(text);
    int count = 0;
    for (std::string line; std::getline(lines, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();  // Windows line ends
      if (line.empty()) continue;  // the break that ends "received message" records
      ++count;
      EXPECT_EQ(line.rfind("1999-", 0), std::string::npos) << "forged record: " << line;
    }
    EXPECT_EQ(count, records) << text;
    for (const char* raw : {"\xFF", "\x1b", "\xC2\x85", "\r\r"}) EXPECT_EQ(text.find(raw), std::string::npos) << text;
  }
}

// A frame of many megabytes reaches the handler whole but gives records of a bounded size: the start of each
// text, cut on a whole UTF-8 character, and its length.
TEST_F(DispatcherTest, LongTextsAreLoggedAsABoundedStartWithTheirLength) {
  const size_t big = 1 << 20;
  // The payload's compact text is {"k":"aa…é…"}, with the two bytes of "é" either side of the limit.
  const std::string value = std::string(kLoggedTextLimit - 7, 'a') + "\xC3\xA9" + std::string(big, 'b');
  const std::string payload_text = "{\"k\":\"" + value + "\"}";
  const std::string long_type(big, 't');
  const struct {
    std::string frame;
    std::string record_start;
    size_t whole_length;
  } cases[] = {
      {R"({"type":"first","payload":)" + payload_text + "}",
       "received message first payload: {\"k\":\"" + std::string(kLoggedTextLimit - 7, 'a') + "... (",
       payload_text.size()},
      {R"({"type":")" + long_type + R"("})", "received message " + std::string(kLoggedTextLimit, 't') + "... (",
       long_type.size()},
      {R"({"type":"first","payload":")" + value, "Failed to parse incoming message: ", 0},
  };
  for (const auto& c : cases) {
    log_.Clear();
    dispatcher_.Dispatch(c.frame);
    const std::string text = log_.Text();
    EXPECT_LT(text.size(), 3 * kLoggedTextLimit) << text.substr(0, 300);
    EXPECT_TRUE(log_.Contains(c.record_start)) << text.substr(0, 300);
    if (c.whole_length > 0) {
      EXPECT_TRUE(log_.Contains("... (" + std::to_string(c.whole_length) + " bytes)"));
    }
    EXPECT_FALSE(log_.Contains("\\x")) << "a character was cut: " << text.substr(0, 300);
  }
  EXPECT_TRUE(log_.Contains(" bytes)")) << "the parse error is not cut";
  ASSERT_EQ(calls_.size(), 1u);
  EXPECT_EQ(calls_[0], "first " + payload_text);  // the handler has it all
  EXPECT_EQ(LoggedExcerpt(std::string(kLoggedTextLimit, 'x')), std::string(kLoggedTextLimit, 'x'));
}

TEST(PayloadReadTest, NumbersFollowTheJsonLibraryConversions) {
  const json p = {{"w", 1279.9}, {"neg", -3.7}, {"flag", true}, {"text", "1"}, {"nothing", nullptr}};
  EXPECT_EQ(RequireInt(p, "w"), 1279);
  EXPECT_EQ(RequireInt(p, "neg"), -3);
  EXPECT_EQ(RequireInt(p, "flag"), 1);
  EXPECT_THROW(RequireInt(p, "text"), json::exception);
  EXPECT_THROW(RequireInt(p, "nothing"), json::exception);
  EXPECT_THROW(RequireBool(p, "w"), json::exception);
  EXPECT_TRUE(RequireBool(p, "flag"));
  EXPECT_THROW(RequireObject({{"cropRect", 5}}, "cropRect"), json::exception);
  EXPECT_EQ(RequireObject({{"cropRect", {{"X", 1}}}}, "cropRect").at("X"), 1);
}

// Every reader at both edges of its type, with the numbers as a host sends them (parsed text, so that large
// non-negative values are the JSON library's unsigned kind).
TEST(PayloadReadTest, EachReaderTakesBothEdgesAndRefusesOneBeyond) {
  using Reader = std::function<std::string(const json&)>;
  const auto as_text = [](auto read) -> Reader {
    return [read](const json& p) { return std::to_string(read(p, "n")); };
  };
  const struct {
    const char* name;
    Reader read;
    std::vector<const char*> accepted;  // each read back as the same decimal text
    std::vector<const char*> refused;
  } readers[] = {
      {"RequireInt32", as_text(RequireInt32), {"-2147483648", "2147483647", "0"},
       {"-2147483649", "2147483648", "4294967295", "18446744073709551615", "-9223372036854775808"}},
      {"RequireUint32", as_text(RequireUint32), {"0", "4294967295"},
       {"-1", "4294967296", "18446744073709551615", "-2147483648"}},
      {"RequireInt", as_text(RequireInt), {"-9223372036854775808", "9223372036854775807"},
       {"9223372036854775808", "18446744073709551615", "1e19", "-1e19"}},
      {"RequireUnsigned", as_text(RequireUnsigned), {"0", "18446744073709551615"},
       {"-1", "-9223372036854775808", "-1.0", "1.8446744073709552e19"}},
  };
  for (const auto& reader : readers) {
    for (const char* n : reader.accepted) {
      EXPECT_EQ(reader.read(json::parse(std::string("{\"n\":") + n + "}")), n) << reader.name << " " << n;
    }
    for (const char* n : reader.refused) {
      EXPECT_THROW(reader.read(json::parse(std::string("{\"n\":") + n + "}")), json::out_of_range)
          << reader.name << " " << n;
    }
  }
  // Fractions truncate toward zero, so the edges hold for them too.
  EXPECT_EQ(RequireInt32(json::parse(R"({"n":-2147483648.9})"), "n"), INT32_MIN);
  EXPECT_EQ(RequireInt32(json::parse(R"({"n":2147483647.9})"), "n"), INT32_MAX);
  EXPECT_THROW(RequireInt32(json::parse(R"({"n":2147483648.0})"), "n"), json::out_of_range);
  EXPECT_EQ(RequireUint32(json::parse(R"({"n":-0.9})"), "n"), 0u);
  EXPECT_THROW(RequireUint32(json::parse(R"({"n":4294967296.0})"), "n"), json::out_of_range);
  // Values built in C++ are the library's signed kind even when non-negative.
  EXPECT_THROW(RequireUint32({{"n", int64_t{4294967296}}}, "n"), json::out_of_range);
  EXPECT_THROW(RequireInt32({{"n", uint64_t{2147483648u}}}, "n"), json::out_of_range);
}

}  // namespace
}  // namespace VellRecorder
