// An environment variable the stand-ins read when they are created, set for the life of the object.
#pragma once

#include <windows.h>

namespace VellRecorder::Testing {

class ScopedVariable {
 public:
  ScopedVariable(const wchar_t* name, const wchar_t* value) : name_(name) { SetEnvironmentVariableW(name, value); }
  ~ScopedVariable() { SetEnvironmentVariableW(name_, nullptr); }
  ScopedVariable(const ScopedVariable&) = delete;
  ScopedVariable& operator=(const ScopedVariable&) = delete;

 private:
  const wchar_t* name_;
};

}  // namespace VellRecorder::Testing
