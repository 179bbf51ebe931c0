#include <windows.h>

#include <regex>

#include <gtest/gtest.h>

#include "testing/logcapture.h"

#include "tracehr.h"

namespace VellRecorder {
namespace {

class TraceHrTest : public ::testing::Test {
 protected:
  Testing::LogCapture out_;
};

TEST_F(TraceHrTest, SuccessCodesLogNothing) {
  EXPECT_EQ(TraceHr("f.cpp", 1, S_OK), S_OK);
  EXPECT_EQ(TraceHr("f.cpp", 1, S_FALSE), S_FALSE);
  EXPECT_EQ(out_.Text(), "");
}

TEST_F(TraceHrTest, FailureLineHasFileLineLowerHexAndSystemText) {
  EXPECT_EQ(TraceHr("src/d3d/d3d11frame.cpp", 77, E_FAIL), E_FAIL);
  const std::string text = out_.Text();
  EXPECT_NE(text.find(" DEBUG ["), std::string::npos) << text;
  EXPECT_NE(text.find("[VellRecorder::TraceHr@"), std::string::npos) << text;
  EXPECT_NE(text.find("] src/d3d/d3d11frame.cpp(77) : error 0x80004005: "), std::string::npos) << text;
  EXPECT_EQ(text.find("<unknown>"), std::string::npos) << text;
}

TEST_F(TraceHrTest, UnknownHresultSaysUnknown) {
  TraceHr("x.cpp", 5, static_cast<HRESULT>(0x8FFF1234));
  EXPECT_NE(out_.Text().find("x.cpp(5) : error 0x8fff1234: <unknown>"), std::string::npos) << out_.Text();
}

HRESULT FailingStep() {
  RETURN_IF_FAILED(S_OK);
  RETURN_IF_FAILED(E_NOTIMPL);
  return S_OK;
}

TEST_F(TraceHrTest, ConventionLogsHrerrorThenTraceAndReturnsTheHresult) {
  EXPECT_EQ(FailingStep(), E_NOTIMPL);
  const std::string text = out_.Text();
  const size_t hrerror = text.find("[VellRecorder::{anonymous}::FailingStep@");
  const size_t trace = text.find("[VellRecorder::TraceHr@");
  ASSERT_NE(hrerror, std::string::npos) << text;
  ASSERT_NE(trace, std::string::npos) << text;
  EXPECT_LT(hrerror, trace);
  EXPECT_NE(text.find("] HRERROR: "), std::string::npos);
  EXPECT_NE(text.find("error 0x80004001: "), std::string::npos);
}

TEST_F(TraceHrTest, LogWinErrAppendsLastError) {
  SetLastError(ERROR_ACCESS_DENIED);
  LogWinErr("Failed to do BitBlt");
  EXPECT_NE(out_.Text().find(" ERROR ["), std::string::npos);
  EXPECT_NE(out_.Text().find("[VellRecorder::LogWinErr@"), std::string::npos);
  EXPECT_NE(out_.Text().find("] Failed to do BitBlt : 5\n"), std::string::npos) << out_.Text();
}

}  // namespace
}  // namespace VellRecorder
