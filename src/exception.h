// The daemon's own exception: thrown only where the caller cannot go on.
#pragma once

#include <exception>
#include <string>

namespace VellRecorder {

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override {
    return message_.empty() ? "Unknown exception" : message_.c_str();
  }

 private:
  std::string message_;
};

// Throws Exception("VELL EXCEPTION: <message>, file <file>, line <line>").
[[noreturn]] void ThrowException(const std::string& message, const std::string& file, int line);

}  // namespace VellRecorder

#define VELL_THROW(message) ::VellRecorder::ThrowException((message), __FILE__, __LINE__)
