#include "exception.h"

#include <sstream>

namespace VellRecorder {

void ThrowException(const std::string& message, const std::string& file, int line) {
  std::ostringstream text;
  text << "VELL EXCEPTION: " << message << ", file " << file << ", line " << line;
  throw Exception(text.str());
}

}  // namespace VellRecorder
