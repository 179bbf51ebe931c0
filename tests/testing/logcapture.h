// Sends the log into a string for the life of the object, so a test can check what was recorded.
#pragma once

#include <sstream>
#include <string>

#include "utils/log.h"

namespace VellRecorder::Testing {

class LogCapture {
 public:
  LogCapture() { Log::Init(Log::Severity::kDebug, &stream_); }
  ~LogCapture() { Log::Init(Log::Severity::kDebug); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::string Text() const { return stream_.str(); }
  bool Contains(const std::string& text) const { return Text().find(text) != std::string::npos; }
  void Clear() { stream_.str(""); }

 private:
  std::ostringstream stream_;
};

}  // namespace VellRecorder::Testing
