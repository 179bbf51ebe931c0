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

}  // namespace

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

std::string QualifiedFunctionName(std::string_view pretty) {
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
  logger->log(spdlog::level::info, "{} [{}] [{}@{}] {}", SeverityName(severity), spdlog::details::os::thread_id(),
              function, line, text);
}

Record::~Record() {
  Write(severity_, QualifiedFunctionName(function_), line_, stream_.str());
}

void Record::AppendWide(std::wstring_view text) { stream_ << ToUtf8(text); }

}  // namespace VellRecorder::Log
