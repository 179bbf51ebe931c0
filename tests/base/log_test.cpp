#include <algorithm>
#include <regex>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "exception.h"
#include "utils/clock.h"
#include "utils/log.h"

namespace VellRecorder {
namespace {

struct Probe {
  static void Emit() { LOG_WARNING << "sending message " << L"provide-secret" << " n=" << 3; }
};

TEST(LogTest, WritesPlogTextLayoutWithQualifiedFunctionAndLine) {
  std::ostringstream out;
  Log::Init(Log::Severity::kDebug, &out);
  Probe::Emit();
  const std::string line = out.str();
  EXPECT_TRUE(std::regex_match(
      line, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} WARN  \[\d+\] )"
                       R"(\[VellRecorder::\{anonymous\}::Probe::Emit@\d+\] sending message provide-secret n=3\r?\n)")))
      << line;
}

TEST(LogTest, RecordsAboveTheConfiguredSeverityAreDropped) {
  std::ostringstream out;
  Log::Init(Log::Severity::kWarning, &out);
  LOG_DEBUG << "hidden";
  LOG_INFO << "hidden";
  LOG_ERROR << "shown";
  EXPECT_EQ(out.str().find("hidden"), std::string::npos);
  EXPECT_NE(out.str().find(" ERROR ["), std::string::npos);
  Log::Init(Log::Severity::kDebug, &out);
}

TEST(LogTest, QualifiedFunctionNameStripsReturnTypeAndParameters) {
  EXPECT_EQ(Log::QualifiedFunctionName("int main(int, char**)"), "main");
  EXPECT_EQ(Log::QualifiedFunctionName("void VellRecorder::IPCChannel::DelegateMessage(const string&)"),
            "VellRecorder::IPCChannel::DelegateMessage");
  EXPECT_EQ(Log::QualifiedFunctionName("std::vector<std::basic_string<char> > VellRecorder::IPCChannel::"
                                       "GetMessagesFromPipe()"),
            "VellRecorder::IPCChannel::GetMessagesFromPipe");
  EXPECT_EQ(Log::QualifiedFunctionName("HRESULT VellRecorder::HLSSink::Mux(IMFSample*, StreamKind)"),
            "VellRecorder::HLSSink::Mux");
  EXPECT_EQ(Log::QualifiedFunctionName("static const char* A::B<int>::Name(int)"), "A::B<int>::Name");
}

TEST(LogTest, ControlCharactersAndInvalidUtf8AreEscapedSoARecordStaysOneLine) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain C:\\path \xC3\xBC \xE2\x82\xAC \xF0\x9F\x8E\xA5", "plain C:\\path \xC3\xBC \xE2\x82\xAC \xF0\x9F\x8E\xA5"},
      {"a\nb\rc\td", "a\\nb\\rc\\td"},
      {std::string("nul\0esc\x1b[2Jdel\x7f", 15), "nul\\x00esc\\x1b[2Jdel\\x7f"},
      {"c1 \xC2\x85 nbsp \xC2\xA0", "c1 \\xc2\\x85 nbsp \xC2\xA0"},
      {"bad \xFF \xC3 cut \xC0\xAF overlong", "bad \\xff \\xc3 cut \\xc0\\xaf overlong"},
      {"surrogate \xED\xA0\x80 big \xF4\x90\x80\x80", "surrogate \\xed\\xa0\\x80 big \\xf4\\x90\\x80\\x80"},
      {"truncated \xE2\x82", "truncated \\xe2\\x82"},
  };
  for (const auto& [text, escaped] : cases) EXPECT_EQ(Log::EscapeText(text), escaped) << escaped;

  std::ostringstream out;
  Log::Init(Log::Severity::kDebug, &out);
  LOG_WARNING << "received message x\n2026-01-01 00:00:00.000 ERROR [1] [main@1] forged payload: null\n";
  Log::Init(Log::Severity::kDebug);
  const std::string text = out.str();
  // One record, one line: the break inside is escaped, the one that ends the text is kept.
  // The text's own final break, then the record's.
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2) << text;
  EXPECT_NE(text.find("message x\\n2026-01-01"), std::string::npos) << text;
}

TEST(ExceptionTest, MessageFormatAndFallback) {
  try {
    ThrowException("Failed to create screen recording session", "src/recorder/recorder.cpp", 42);
    FAIL();
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(),
                 "VELL EXCEPTION: Failed to create screen recording session, file src/recorder/recorder.cpp, line 42");
  }
  EXPECT_STREQ(Exception("").what(), "Unknown exception");
}

TEST(ClockTest, CounterConversionIsExactWhereTheNaiveProductOverflows) {
  // 30 days of uptime at a 10 MHz counter: count * 1e9 overflows int64, the split form does not.
  const int64_t frequency = 10'000'000;
  const int64_t count = 30LL * 24 * 3600 * frequency + 1234567;
  EXPECT_EQ(CounterToNanoseconds(count, frequency), 30LL * 24 * 3600 * 1'000'000'000 + 123456700);
  EXPECT_EQ(CounterToNanoseconds(3, 3'000'000'000LL), 1);  // rounding toward zero
  const int64_t a = MonotonicNowNs();
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_GE(MonotonicNowNs() - a, 2'000'000);
}

}  // namespace
}  // namespace VellRecorder
