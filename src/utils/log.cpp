#include "utils/log.h"

#include <atomic>
#include <memory>
#include <mutex>

#include <spdlog/details/os.h>
#include <spdlog/logger.h>
#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/sinks/stdout_sinks.h>

#include "utils/textconv.h"

namespace VellRecorder::Log {
namespace {

std::atomic<int> g_max_severity{static_cast<int>(Severity::kNone)};

// Guards replacing the logger; spdlog's _mt sinks serialise the writes themselves.
std::mutex g_logger_mutex;
std::shared_ptr<spdlog::logger> g_logger;  // guarded by g_logger_mutex

std::shared_ptr<spdlog::logger> CurrentLogger() {
  std::lock_guard<std::mutex> lock(g_logger_mutex);
  return g_logger;
}

const char* SeverityName(Severity severity) {
  switch (severity) {
    case Severity::kFatal: return "FATAL";
    case Severity::kError: return "ERROR";
    case Severity::kWarning: return "WARN ";
    case Severity::kInfo: return "INFO ";
    case Severity::kDebug: return "DEBUG";
    case Severity::kVerbose: return "VERB ";
    default: return "NONE ";
  }
}

// Length of the valid UTF-8 sequence at text[i], or 0 when it is not one (overlong forms, surrogates and
// values past U+10FFFF included).
size_t Utf8SequenceLength(std::string_view text, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) return 1;
  size_t length = 4;
  unsigned char low = 0x80;   // the range of the first continuation byte
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead == 0xF0) {
    low = 0x90;  // overlong
  } else if (lead == 0xF4) {
    high = 0x8F;  // past U+10FFFF
  } else if (lead < 0xF1 || lead > 0xF3) {
    return 0;
  }
  if (text.size() - i < length || byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (size_t k = 2; k < length; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  }
  return length;
}

void AppendHex(std::string& out, unsigned char c) {
  static const char kDigits[] = "0123456789abcdef";
  out += "\\x";
  out += kDigits[c >> 4];
  out += kDigits[c & 0xF];
}

}  // namespace

std::string EscapeText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    const size_t length = Utf8SequenceLength(text, i);
    if (length == 0) {
      AppendHex(out, c);
      ++i;
    } else if (c == '\n' || c == '\r' || c == '\t') {
      out += c == '\n' ? "\\n" : c == '\r' ? "\\r" : "\\t";
      ++i;
    } else if (c < 0x20 || c == 0x7F || (c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0)) {
      for (size_t k = 0; k < length; ++k) AppendHex(out, static_cast<unsigned char>(text[i + k]));
      i += length;
    } else {
      out.append(text.substr(i, length));
      i += length;
    }
  }
  return out;
}

void Init(Severity max_severity, std::ostream* destination) {
  std::shared_ptr<spdlog::sinks::sink> sink;
  if (destination) {
    sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(*destination, /*force_flush=*/true);
  } else {
    sink = std::make_shared<spdlog::sinks::stdout_sink_mt>();
  }
  auto logger = std::make_shared<spdlog::logger>("vell", std::move(sink));
  // The severity, thread and function are part of the message: plog's layout, not spdlog's.
  logger->set_pattern("%Y-%m-%d %H:%M:%S.%e %v");
  logger->set_level(spdlog::level::trace);
  logger->flush_on(spdlog::level::trace);
  {
    std::lock_guard<std::mutex> lock(g_logger_mutex);
    g_logger = std::move(logger);
  }
  g_max_severity.store(static_cast<int>(max_severity));
}

bool IsEnabled(Severity severity) {
  return static_cast<int>(severity) <= g_max_severity.load(std::memory_order_relaxed);
}

std::string QualifiedFunctionName(std::string_view signature) {
  // Clang names an anonymous namespace "(anonymous namespace)", which would read as the parameter list below;
  // written as GCC writes it, the name is the same whichever compiler built the program.
  std::string spelled(signature);
  static constexpr std::string_view kClangAnonymous = "(anonymous namespace)";
  for (size_t at; (at = spelled.find(kClangAnonymous)) != std::string::npos;) {
    spelled.replace(at, kClangAnonymous.size(), "{anonymous}");
  }
  const std::string_view pretty = spelled;
  // Cut the parameter list: the first '(' that is not part of "operator()" or of a lambda's "(anonymous ...".
  size_t depth = 0;
  size_t end = std::string_view::npos;
  for (size_t i = 0; i < pretty.size(); ++i) {
    char c = pretty[i];
    if (c == '<') ++depth;
    else if (c == '>' && depth > 0) --depth;
    else if (c == '(' && depth == 0) {
      if (pretty.substr(0, i).size() >= 8 && pretty.substr(i - 8, 8) == "operator" && pretty.substr(i, 2) == "()") {
        end = i + 2;
      } else {
        end = i;
      }
      break;
    }
  }
  std::string_view head = pretty.substr(0, end);
  // Drop the return type: everything up to the last space outside template brackets.
  depth = 0;
  size_t start = 0;
  for (size_t i = 0; i < head.size(); ++i) {
    char c = head[i];
    if (c == '<') ++depth;
    else if (c == '>' && depth > 0) --depth;
    else if (c == ' ' && depth == 0) start = i + 1;
  }
  std::string_view name = head.substr(start);
  while (!name.empty() && (name.front() == '*' || name.front() == '&')) name.remove_prefix(1);
  return std::string(name);
}

void Write(Severity severity, std::string_view function, int line, std::string_view text) {
  if (!IsEnabled(severity)) return;
  auto logger = CurrentLogger();
  if (!logger) return;
  size_t body = text.size();
  while (body > 0 && (text[body - 1] == '\n' || text[body - 1] == '\r')) --body;
  logger->log(spdlog::level::info, "{} [{}] [{}@{}] {}{}", SeverityName(severity), spdlog::details::os::thread_id(),
              function, line, EscapeText(text.substr(0, body)), text.substr(body));
}

Record::~Record() {
  Write(severity_, QualifiedFunctionName(function_), line_, stream_.str());
}

void Record::AppendWide(std::wstring_view text) { stream_ << ToUtf8(text); }

}  // namespace VellRecorder::Log
