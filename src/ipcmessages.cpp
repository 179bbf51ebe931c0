#include "ipcmessages.h"

#include <cmath>
#include <limits>

#include "utils/log.h"
#include "utils/textconv.h"

namespace VellRecorder {

using nlohmann::json;

std::string EncodeEnvelope(const std::wstring& type, const json& payload) {
  json envelope = json::object();
  envelope["type"] = ToUtf8(type);
  if (!payload.empty()) envelope["payload"] = payload.dump();
  // nlohmann's object is a std::map: keys come out sorted. Invalid UTF-8 cannot reach here (every text
  // went through ToUtf8), but "replace" keeps a bad byte from turning a reply into an exception.
  return envelope.dump(-1, ' ', false, json::error_handler_t::replace);
}

json GrantedPermission() { return {{"granted", true}, {"status", "authorized"}}; }

json AllPermissionsGranted() {
  return {{"accessibility", GrantedPermission()},
          {"camera", GrantedPermission()},
          {"mic", GrantedPermission()},
          {"screenRecording", GrantedPermission()}};
}

void OutgoingQueue::Push(std::string envelope) {
  std::lock_guard<std::mutex> lock(mutex_);
  queue_.push_back(std::move(envelope));
}

bool OutgoingQueue::WriteOldest(const std::function<void(const std::string&)>& write) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (queue_.empty()) return false;
  const std::string message = std::move(queue_.front());
  queue_.pop_front();
  write(message);
  return true;
}

size_t OutgoingQueue::WriteAll(const std::function<bool(const std::string&)>& write) {
  std::deque<std::string> batch;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    batch.swap(queue_);
  }
  size_t written = 0;
  while (!batch.empty() && write(batch.front())) {
    batch.pop_front();
    ++written;
  }
  if (!batch.empty()) {
    // Older than anything queued meanwhile: back to the front, in order.
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.insert(queue_.begin(), std::make_move_iterator(batch.begin()), std::make_move_iterator(batch.end()));
  }
  return written;
}

size_t OutgoingQueue::Size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return queue_.size();
}

std::string LoggedExcerpt(std::string_view text, size_t limit) {
  if (text.size() <= limit) return std::string(text);
  size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;  // not inside a character
  return std::string(text.substr(0, end)) + "... (" + std::to_string(text.size()) + " bytes)";
}

void MessageDispatcher::Register(std::wstring type, Handler handler) {
  handlers_.emplace_back(std::move(type), std::move(handler));
}

bool NestsDeeperThan(std::string_view text, size_t limit) {
  size_t depth = 0;
  bool in_string = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\') ++i;  // the escaped character cannot end the string
      else if (c == '"') in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return true;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return false;
}

std::optional<std::wstring> MessageDispatcher::Dispatch(const std::string& frame) const {
  if (NestsDeeperThan(frame, kMaxNestingDepth)) {
    LOG_ERROR << "Dropping incoming message of " << frame.size() << " bytes: nested deeper than "
              << kMaxNestingDepth << " levels";
    return std::nullopt;
  }
  json message;
  try {
    message = json::parse(frame);
  } catch (const json::exception& e) {
    // The parser's text quotes the token it stopped at, which can be most of the frame.
    LOG_ERROR << "Failed to parse incoming message: " << LoggedExcerpt(e.what());
    return std::nullopt;
  }
  if (!message.is_object()) {
    LOG_ERROR << "Dropping incoming message: not a JSON object but " << message.type_name();
    return std::nullopt;
  }
  const auto type_it = message.find("type");
  if (type_it == message.end() || !type_it->is_string()) {
    LOG_ERROR << "Dropping incoming message: \"type\" must be a string, but is "
              << (type_it == message.end() ? "missing" : type_it->type_name());
    return std::nullopt;
  }
  const auto payload_it = message.find("payload");
  const json payload = payload_it == message.end() ? json() : *payload_it;
  const std::wstring type = ToWide(type_it->get<std::string>());
  const std::string logged_type = LoggedExcerpt(type_it->get_ref<const std::string&>());
  LOG_WARNING << "received message " << logged_type << " payload: "
              << LoggedExcerpt(payload.dump(-1, ' ', false, json::error_handler_t::replace)) << "\n";
  for (const auto& [name, handler] : handlers_) {
    if (name != type) continue;
    try {
      handler(payload);
    } catch (const std::exception& e) {
      LOG_ERROR << "Failed to handle message " << logged_type << ": " << LoggedExcerpt(e.what());
    }
    return type;
  }
  LOG_ERROR << "received unknown message type: " << logged_type;
  return std::nullopt;
}

namespace {

json::type_error TypeError(const char* key, const char* expected, const json& value) {
  return json::type_error::create(302, std::string("\"") + key + "\": type must be " + expected + ", but is " +
                                           value.type_name(), &value);
}

json::out_of_range OutOfRange(const char* key, const json& value) {
  return json::out_of_range::create(406, std::string("\"") + key + "\": " + value.dump() + " is out of range",
                                    &value);
}

const json& Member(const json& object, const char* key) {
  if (!object.is_object()) {
    throw json::type_error::create(306, std::string("payload must be an object to read \"") + key + "\", but is " +
                                            object.type_name(), &object);
  }
  const auto it = object.find(key);
  if (it == object.end()) {
    throw json::out_of_range::create(403, std::string("key '") + key + "' not found", &object);
  }
  return *it;
}

// Integers are read by their JSON kind (nlohmann keeps non-negative integers unsigned, negative ones signed)
// and compared before the conversion, so that no value wraps into range.
template <typename T>
T RequireNumber(const json& object, const char* key) {
  using Limits = std::numeric_limits<T>;
  const json& value = Member(object, key);
  if (value.is_boolean()) return value.get<bool>() ? 1 : 0;
  if (value.is_number_unsigned()) {
    const uint64_t number = value.get<uint64_t>();
    if (number > static_cast<uint64_t>(Limits::max())) throw OutOfRange(key, value);
    return static_cast<T>(number);
  }
  if (value.is_number_integer()) {
    const int64_t number = value.get<int64_t>();
    const bool fits = number < 0 ? Limits::is_signed && number >= static_cast<int64_t>(Limits::min())
                                 : static_cast<uint64_t>(number) <= static_cast<uint64_t>(Limits::max());
    if (!fits) throw OutOfRange(key, value);
    return static_cast<T>(number);
  }
  if (value.is_number_float()) {
    // Truncated toward zero. Both bounds are exact in a double (min is 0 or -2^(n-1); max + 1 is a power of
    // two, and a 64-bit max already rounds up to it); NaN fails both.
    const double whole = std::trunc(value.get<double>());
    if (!(whole >= static_cast<double>(Limits::min()) && whole < static_cast<double>(Limits::max()) + 1.0)) {
      throw OutOfRange(key, value);
    }
    return static_cast<T>(whole);
  }
  throw TypeError(key, "number", value);
}

}  // namespace

std::string RequireString(const json& object, const char* key) {
  const json& value = Member(object, key);
  if (!value.is_string()) throw TypeError(key, "string", value);
  return value.get<std::string>();
}

bool RequireBool(const json& object, const char* key) {
  const json& value = Member(object, key);
  if (!value.is_boolean()) throw TypeError(key, "boolean", value);
  return value.get<bool>();
}

int64_t RequireInt(const json& object, const char* key) { return RequireNumber<int64_t>(object, key); }

uint64_t RequireUnsigned(const json& object, const char* key) { return RequireNumber<uint64_t>(object, key); }

int32_t RequireInt32(const json& object, const char* key) { return RequireNumber<int32_t>(object, key); }

uint32_t RequireUint32(const json& object, const char* key) { return RequireNumber<uint32_t>(object, key); }

const json& RequireObject(const json& object, const char* key) {
  const json& value = Member(object, key);
  if (!value.is_object()) throw TypeError(key, "object", value);
  return value;
}

}  // namespace VellRecorder
