// The daemon's one logging facility. Records are written in plog's text format:
//   2026-12-07 19:25:30.123 WARN  [1234] [VellRecorder::IPCChannel::DelegateMessage@123] text
// The back end (spdlog) stays behind log.cpp so that no other file pays for its headers.
#pragma once

#include <cstdint>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>

namespace VellRecorder::Log {

// plog's severity numbers; a record is written when its number is at most the configured one.
enum class Severity : int { kNone = 0, kFatal = 1, kError = 2, kWarning = 3, kInfo = 4, kDebug = 5, kVerbose = 6 };

// Sets the maximum severity and the destination (standard output unless given). Safe to call again;
// the stream must outlive all logging.
void Init(Severity max_severity, std::ostream* destination = nullptr);
bool IsEnabled(Severity severity);

// "VellRecorder::IPCChannel::DelegateMessage" from a __PRETTY_FUNCTION__-style signature.
std::string QualifiedFunctionName(std::string_view pretty_function);

// Writes one record. Control characters (C0, DEL, C1) and bytes that are not valid UTF-8 are escaped, except the
// line breaks that end the text: a record is one line of valid UTF-8 whatever it quotes (a message type, a
// parse error's excerpt), so text from the pipe cannot forge records or corrupt the log.
void Write(Severity severity, std::string_view function, int line, std::string_view text);

// "\n", "\r", "\t" for those characters, "\xHH" for other control characters and for each byte of an invalid
// UTF-8 sequence; everything else as it is.
std::string EscapeText(std::string_view text);

// Collects one record; written when destroyed. Wide strings are converted to UTF-8.
class Record {
 public:
  Record(Severity severity, const char* pretty_function, int line)
      : severity_(severity), function_(pretty_function), line_(line) {}
  Record(const Record&) = delete;
  Record& operator=(const Record&) = delete;
  ~Record();

  template <typename T>
  Record& operator<<(const T& value) {
    if constexpr (std::is_convertible_v<const T&, std::wstring_view>) {
      AppendWide(std::wstring_view(value));
    } else if constexpr (std::is_same_v<T, wchar_t>) {
      AppendWide(std::wstring_view(&value, 1));
    } else {
      stream_ << value;
    }
    return *this;
  }

 private:
  void AppendWide(std::wstring_view text);

  Severity severity_;
  const char* function_;
  int line_;
  std::ostringstream stream_;
};

// Gives a finished record expression the type void, for the other branch of VELL_LOG's ?:.
struct Voidify {
  void operator&(const Record&) {}
};

}  // namespace VellRecorder::Log

#if defined(__GNUC__) || defined(__clang__)
#define VELL_PRETTY_FUNCTION __PRETTY_FUNCTION__
#else
#define VELL_PRETTY_FUNCTION __FUNCSIG__
#endif

// The record is only built when its severity is enabled. A ?: expression rather than an if/else, so that
// `if (x) LOG_ERROR << ...; else ...` binds as written.
#define VELL_LOG(severity)                                   \
  !::VellRecorder::Log::IsEnabled(severity)                  \
      ? (void)0                                              \
      : ::VellRecorder::Log::Voidify() &                     \
            ::VellRecorder::Log::Record(severity, VELL_PRETTY_FUNCTION, __LINE__)

#define LOG_FATAL VELL_LOG(::VellRecorder::Log::Severity::kFatal)
#define LOG_ERROR VELL_LOG(::VellRecorder::Log::Severity::kError)
#define LOG_WARNING VELL_LOG(::VellRecorder::Log::Severity::kWarning)
#define LOG_INFO VELL_LOG(::VellRecorder::Log::Severity::kInfo)
#define LOG_DEBUG VELL_LOG(::VellRecorder::Log::Severity::kDebug)
