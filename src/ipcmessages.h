// Control-channel messages that need no Windows API: outgoing envelopes, the outgoing queue, and the
// dispatch of incoming messages to the handlers of the catalogue.
#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace VellRecorder {

// {"type": T} when the payload is empty (null, {} or []), otherwise {"payload": "<compact JSON of payload>",
// "type": T}: compact, keys sorted, non-ASCII as UTF-8.
std::string EncodeEnvelope(const std::wstring& type, const nlohmann::json& payload);

// The permission object every permission check reports: nothing is asked of the system.
nlohmann::json GrantedPermission();
nlohmann::json AllPermissionsGranted();

// Encoded envelopes waiting to be written, oldest first. Filled from any thread (the main thread's replies,
// a session thread's part reports); drained by the main thread only.
class OutgoingQueue {
 public:
  void Push(std::string envelope);
  // Removes the oldest message and calls write with it while the lock is held, so that a message is written
  // whole before another producer's append goes through.
  bool WriteOldest(const std::function<void(const std::string&)>& write);
  // Writes every message queued before the call, oldest first, without holding the lock while writing, so
  // producers are not held up by a slow pipe; messages queued meanwhile wait for the next call. write
  // returns false to stop: the messages not written stay at the front of the queue. Returns the number written.
  size_t WriteAll(const std::function<bool(const std::string&)>& write);
  size_t Size() const;

 private:
  mutable std::mutex mutex_;         // the send mutex
  std::deque<std::string> queue_;    // guarded by mutex_
};

// Deeper nesting is refused before a message is parsed: copying, dumping and destroying a JSON value recurse
// once per level, and a host could send tens of thousands of levels in one frame.
constexpr size_t kMaxNestingDepth = 64;
// True when the arrays and objects of this JSON text nest deeper than limit. Scans without recursion; text that
// is not JSON gives some answer and is refused by the parser anyway.
bool NestsDeeperThan(std::string_view json_text, size_t limit);

// At most this many bytes of a message's type, payload or parse error go into one log record: a host can send
// a frame of many megabytes, and one record of that size takes seconds to write.
constexpr size_t kLoggedTextLimit = 4096;
// `text` for a log record: whole when it holds at most `limit` bytes; otherwise its first bytes up to `limit`,
// ending on a whole UTF-8 character, then "... (N bytes)" with the length of the whole text.
std::string LoggedExcerpt(std::string_view text, size_t limit = kLoggedTextLimit);

// The incoming catalogue: types in the order they are tested, each with its handler.
// Malformed input never ends the daemon: it is logged with its reason and dropped.
class MessageDispatcher {
 public:
  using Handler = std::function<void(const nlohmann::json& payload)>;

  void Register(std::wstring type, Handler handler);
  // Parses one frame, logs it (each text bounded by LoggedExcerpt), runs the handler of its type. Returns the
  // type when a handler ran.
  std::optional<std::wstring> Dispatch(const std::string& frame) const;

 private:
  std::vector<std::pair<std::wstring, Handler>> handlers_;  // fixed after start-up; main thread only
};

// Reads a required member with the JSON library's conversions (a floating value truncates toward zero, a boolean
// reads as 0 or 1 for numbers); throws nlohmann::json::exception naming the key when it is missing, mistyped, or
// a number the result type cannot hold (never wraps).
std::string RequireString(const nlohmann::json& object, const char* key);
bool RequireBool(const nlohmann::json& object, const char* key);
int64_t RequireInt(const nlohmann::json& object, const char* key);
uint64_t RequireUnsigned(const nlohmann::json& object, const char* key);
int32_t RequireInt32(const nlohmann::json& object, const char* key);
uint32_t RequireUint32(const nlohmann::json& object, const char* key);
const nlohmann::json& RequireObject(const nlohmann::json& object, const char* key);

}  // namespace VellRecorder
