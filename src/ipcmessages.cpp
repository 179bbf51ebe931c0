#include "ipcmessages.h"

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

size_t OutgoingQueue::Size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return queue_.size();
}

void MessageDispatcher::Register(std::wstring type, Handler handler) {
  handlers_.emplace_back(std::move(type), std::move(handler));
}

std::optional<std::wstring> MessageDispatcher::Dispatch(const std::string& frame) const {
  json message;
  try {
    message = json::parse(frame);
  } catch (const json::exception& e) {
    LOG_ERROR << "Failed to parse incoming message: " << e.what();
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
  LOG_WARNING << "received message " << type << " payload: "
              << payload.dump(-1, ' ', false, json::error_handler_t::replace) << "\n";
  for (const auto& [name, handler] : handlers_) {
    if (name != type) continue;
    try {
      handler(payload);
    } catch (const std::exception& e) {
      LOG_ERROR << "Failed to handle message " << type << ": " << e.what();
    }
    return type;
  }
  LOG_ERROR << "received unknown message type: " << type;
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

template <typename T>
T RequireNumber(const json& object, const char* key) {
  const json& value = Member(object, key);
  if (value.is_boolean()) return value.get<bool>() ? 1 : 0;
  if (value.is_number_float()) {
    // Truncated toward zero; a value the integer cannot hold is an error, not undefined behaviour.
    const double number = value.get<double>();
    if (!(number > static_cast<double>(std::numeric_limits<T>::min()) - 1.0 &&
          number < static_cast<double>(std::numeric_limits<T>::max()))) {
      throw OutOfRange(key, value);
    }
    return static_cast<T>(number);
  }
  if (!value.is_number()) throw TypeError(key, "number", value);
  return value.get<T>();
}

// Narrows a value read by the 64-bit rules; one the result cannot hold is refused.
template <typename Narrow, typename Wide>
Narrow RequireNarrow(const json& object, const char* key) {
  const Wide value = RequireNumber<Wide>(object, key);
  if (value < static_cast<Wide>(std::numeric_limits<Narrow>::min()) ||
      value > static_cast<Wide>(std::numeric_limits<Narrow>::max())) {
    throw OutOfRange(key, object.at(key));
  }
  return static_cast<Narrow>(value);
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

int32_t RequireInt32(const json& object, const char* key) { return RequireNarrow<int32_t, int64_t>(object, key); }

uint32_t RequireUint32(const json& object, const char* key) { return RequireNarrow<uint32_t, uint64_t>(object, key); }

const json& RequireObject(const json& object, const char* key) {
  const json& value = Member(object, key);
  if (!value.is_object()) throw TypeError(key, "object", value);
  return value;
}

}  // namespace VellRecorder
