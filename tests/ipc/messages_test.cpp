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

TEST(PayloadReadTest, NumbersFollowTheJsonLibraryConversions) {
  const json p = {{"w", 1279.9}, {"neg", -3.7}, {"flag", true}, {"text", "1"}, {"nothing", nullptr}};
  EXPECT_EQ(RequireInt(p, "w"), 1279);
  EXPECT_EQ(RequireInt(p, "neg"), -3);
  EXPECT_EQ(RequireInt(p, "flag"), 1);
  EXPECT_THROW(RequireInt(p, "text"), json::exception);
  EXPECT_THROW(RequireInt(p, "nothing"), json::exception);
  EXPECT_THROW(RequireBool(p, "w"), json::exception);
  EXPECT_TRUE(RequireBool(p, "flag"));
  EXPECT_THROW(RequireInt({{"huge", 1e300}}, "huge"), json::exception);
  EXPECT_THROW(RequireUnsigned({{"nan", -1e30}}, "nan"), json::exception);
  EXPECT_EQ(RequireUnsigned({{"id", 4294967295.0}}, "id"), 4294967295u);
  // Sizes are 32-bit: what they cannot hold is refused, not wrapped.
  EXPECT_EQ(RequireInt32({{"w", -2147483648LL}}, "w"), INT32_MIN);
  EXPECT_THROW(RequireInt32({{"w", 2147483648LL}}, "w"), json::exception);
  EXPECT_EQ(RequireUint32({{"h", 4294967295LL}}, "h"), UINT32_MAX);
  EXPECT_THROW(RequireUint32({{"h", -1}}, "h"), json::exception);
  EXPECT_THROW(RequireObject({{"cropRect", 5}}, "cropRect"), json::exception);
  EXPECT_EQ(RequireObject({{"cropRect", {{"X", 1}}}}, "cropRect").at("X"), 1);
}

}  // namespace
}  // namespace VellRecorder
